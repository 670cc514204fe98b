// What the flows share around a call: the address, the encoding of values,
// the masked token, and the log lines of both error paths.
#include "api/chamada.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "api/http.h"
#include "api/multipart.h"
#include "dm/udm.h"
#include "global/funcoes.h"
#include "tests/api/apoio.h"
#include "tests/support/banco_teste.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;
using Linhas = std::vector<std::string>;

TEST(CodificarValor, SoOsCaracteresQueQuebramAConsultaSaoCodificados) {
  const std::pair<std::string, std::string> casos[] = {
      // The ordinary values go out unchanged.
      {"98.765.432/0001-10", "98.765.432/0001-10"},
      {"10/03/2025", "10/03/2025"},
      {"1500.00", "1500.00"},
      {"Abc_-:.~?!*'()", "Abc_-:.~?!*'()"},
      {"", ""},
      // These would change the query.
      {"a&b=c", "a%26b%3Dc"},
      {"token#1", "token%231"},
      {"1+1", "1%2B1"},
      {"100%", "100%25"},
      {"a b", "a%20b"},
      {"\t\r\n\x01", "%09%0D%0A%01"},
      {"\x7F", "%7F"},
      {"Sé ção", "S%C3%A9%20%C3%A7%C3%A3o"},
  };
  for (const auto& [valor, esperado] : casos) EXPECT_EQ(CodificarValor(valor), esperado) << valor;
}

TEST(EnderecoBase, EsquemaEEnderecoDoCadastro) {
  EXPECT_EQ(EnderecoBase("https", "api.fornecedor.com.br/v1"), "https://api.fornecedor.com.br/v1");
  EXPECT_EQ(EnderecoBase("HTTP", "127.0.0.1:8080"), "HTTP://127.0.0.1:8080");
}

std::string UrlRecusada() {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return "http://127.0.0.1:" + std::to_string(a.local_endpoint().port()) + "/x?token_erp=abcdef";
}

class Chamada : public AmbienteApi {
 protected:
  TIdHTTP http;
};

struct CasoPost {
  const char* nome;
  std::optional<Resposta> resposta;  // empty: nobody listens
  std::string retorno;
  Linhas log;
  std::string motivo;  // the start of the line after "Erro Desconhecido."
};

TEST_F(Chamada, PostsRegistramOsDoisCaminhosDeErroEFechamAConexao) {
  const CasoPost casos[] = {
      {"aceito", Resposta::Json(R"({"sucess": true})"), R"({"sucess": true})", {}, ""},
      {"status 500", Resposta::Status(500, "Internal Server Error", "falhou no servidor"), "",
       {"Erro.: falhou no servidor"}, ""},
      {"redirecionamento", Resposta::Status(302, "Found", ""), "", {"Erro.: "}, ""},
      {"sem resposta", Resposta::ComFalha(Resposta::Falha::SemResposta), "", {"Erro Desconhecido."},
       "Motivo: A conexão foi fechada sem resposta."},
      {"conexao recusada", std::nullopt, "", {"Erro Desconhecido."}, "Motivo: Não foi possível conectar a 127.0.0.1:"},
  };
  CriarArquivo(pasta / "CM 1-1.pdf", "%PDF");
  for (const bool debug : {false, true}) {
    ModoDebug = debug ? "Sim" : "Nao";
    for (const bool multipart : {false, true}) {
      for (const auto& caso : casos) {
        SCOPED_TRACE(std::string(caso.nome) + (multipart ? " multipart" : " json") + (debug ? " debug" : ""));
        std::filesystem::remove(pasta / "Log.txt");
        std::optional<Simulador> sim;
        std::string url = UrlRecusada();
        if (caso.resposta) {
          sim.emplace();
          sim->ResponderPadrao(*caso.resposta);
          url = sim->Base() + "/x?token_erp=abcdef";
        }
        std::string retorno;
        testing::internal::CaptureStderr();
        if (multipart) {
          PrepararEnvioMultipart(http);
          CorpoMultipart corpo;
          corpo.AdicionarArquivo("arquivo", pasta / "CM 1-1.pdf", "application/octet-stream");
          retorno = PostarMultipart(http, url, corpo);
        } else {
          retorno = PostarJson(http, url, "[]");
        }
        const std::string eventos = testing::internal::GetCapturedStderr();
        EXPECT_EQ(retorno, caso.retorno);
        // The reason of a transport error reaches the event log in debug mode only.
        const bool transporte = !caso.log.empty() && caso.log[0] == "Erro Desconhecido.";
        EXPECT_EQ(!eventos.empty(), debug && transporte) << eventos;
        // The flows write their own debug lines around these calls; the
        // reason of a transport error follows its fixed line, always.
        Linhas log = MensagensLog();
        if (!caso.motivo.empty()) {
          ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
          EXPECT_EQ(log[1].rfind(caso.motivo, 0), 0u) << log[1];
          log.pop_back();
        }
        EXPECT_EQ(log, caso.log);
        EXPECT_FALSE(http.Connected());
      }
    }
  }
}

TEST_F(Chamada, GetRegistraEnderecoMascaradoERetornoEmDebug) {
  Simulador sim;
  sim.Responder("/financeiro/cliente/faturamento", Resposta::Json(R"({"error":false,"data":[]})"));
  const std::string url = sim.Base() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=SEGREDO123";
  const std::string url_log = sim.Base() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=SEGR****";
  PrepararEnvioJson(http, "GET");

  ModoDebug = "Sim";
  EXPECT_EQ(BuscarJson(http, url), R"({"error":false,"data":[]})");
  EXPECT_EQ(MensagensLog(),
            (Linhas{"", "GET URL.......: " + url_log, R"(Retorno JSON..: {"error":false,"data":[]})", ""}));

  std::filesystem::remove(pasta / "Log.txt");
  ModoDebug = "Nao";
  EXPECT_EQ(BuscarJson(http, url), R"({"error":false,"data":[]})");
  EXPECT_TRUE(MensagensLog().empty());
}

TEST_F(Chamada, GetComStatusDeErroDaRespostaVaziaEGetSemConexaoPropagaOErro) {
  Simulador sim;
  sim.ResponderPadrao(Resposta::Status(503, "Service Unavailable", "fora do ar"));
  const std::string url = sim.Base() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=abcdef";
  PrepararEnvioJson(http, "GET");

  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    std::filesystem::remove(pasta / "Log.txt");
    ModoDebug = debug ? "Sim" : "Nao";
    EXPECT_EQ(BuscarJson(http, url), "");
    const Linhas esperado =
        debug ? Linhas{"", "GET URL.......: " + MascararToken(url), "Erro.: fora do ar", "Retorno JSON..: ", ""}
              : Linhas{"Erro.: fora do ar"};
    EXPECT_EQ(MensagensLog(), esperado);

    std::filesystem::remove(pasta / "Log.txt");
    const std::string recusada = UrlRecusada();
    EXPECT_THROW(BuscarJson(http, recusada), ErroTransporte);
    EXPECT_EQ(MensagensLog(), debug ? (Linhas{"", "GET URL.......: " + MascararToken(recusada)}) : Linhas{});
  }
}

TEST_F(Chamada, LinhasAntesDeCadaEnvioDeArquivoSoEmDebug) {
  const std::string url = "https://api/financeiro/fatura/documento/boleto?token_erp=abcdef123token_erp=abcdef&cnpj=98.765.432/0001-10";
  LogarEnvioArquivo(0, url, "/srv/Boleto/1/2/CM 1-1.pdf");
  EXPECT_TRUE(MensagensLog().empty());

  ModoDebug = "Sim";
  LogarEnvioArquivo(0, url, "/srv/Boleto/1/2/CM 1-1.pdf");
  LogarEnvioArquivo(12, url, "/srv/Boleto/1/2/CM 1-2.pdf");
  EXPECT_EQ(MensagensLog(), (Linhas{
                                "Seq:      0",
                                "Endereço: https://api/financeiro/fatura/documento/boleto?token_erp=abcd****&cnpj=98.765.432/0001-10",
                                "Arquivo:  /srv/Boleto/1/2/CM 1-1.pdf",
                                "Seq:      12",
                                "Endereço: https://api/financeiro/fatura/documento/boleto?token_erp=abcd****&cnpj=98.765.432/0001-10",
                                "Arquivo:  /srv/Boleto/1/2/CM 1-2.pdf",
                            }));
}

TEST_F(Chamada, ConfiguracoesDeCadaTipoDeEnvio) {
  PrepararEnvioMultipart(http);
  EXPECT_EQ(http.Request.Method, "POST");
  EXPECT_EQ(http.Request.ContentType, "multipart/form-data");
  PrepararEnvioJson(http, "GET");
  EXPECT_EQ(http.Request.Method, "GET");
  EXPECT_EQ(http.Request.ContentType, "application/json");
  EXPECT_EQ(http.Request.ContentEncoding, "UTF-8");
  EXPECT_EQ(http.Response.ContentType, "application/json");
  EXPECT_EQ(http.Response.CharSet, "UTF-8");
}

TEST_F(Chamada, PausaAposPostDura250msAteSerTrocada) {
  const auto anterior = DefinirPausaAposPost(40ms);
  EXPECT_EQ(anterior, 250ms);
  const auto inicio = std::chrono::steady_clock::now();
  PausaAposPost();
  EXPECT_GE(std::chrono::steady_clock::now() - inicio, 40ms);
  DefinirPausaAposPost(anterior);
}

TEST(ChamadaComCadastro, EnderecoETokenVemDoRegistroDaEmpresa) {
  Simulador sim;
  sim.ResponderPadrao(Resposta::Json(R"({"error":false})"));
  ConfiguracaoIni ini;
  ini.debug = "Sim";
  AmbienteServico amb(ini);
  // The scheme in capitals, a leading path in the address, a token that needs encoding.
  amb.Executar("INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
               "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN) VALUES (7, 'Empresa', '2', 'HTTP', '127.0.0.1:" +
               std::to_string(sim.Porta()) + "/v1', 'tok&7#x')");
  dm = std::make_unique<Tdm>();
  struct Libera {
    ~Libera() { dm.reset(); }
  } libera;

  EXPECT_EQ(EnderecoBase(), "HTTP://127.0.0.1:" + std::to_string(sim.Porta()) + "/v1");
  EXPECT_EQ(TokenApi(), "tok&7#x");
  const std::string url =
      EnderecoBase() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=" + CodificarValor(TokenApi());
  PrepararEnvioJson(dm->IdHTTP, "GET");
  EXPECT_EQ(BuscarJson(dm->IdHTTP, url), R"({"error":false})");
  EXPECT_EQ(PostarJson(dm->IdHTTP, EnderecoBase() + "/financeiro/cliente/faturado?token_erp=" + CodificarValor(TokenApi()), "[]"),
            R"({"error":false})");

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].cabeca.substr(0, reqs[0].cabeca.find("\r\n")),
            "GET /v1/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=tok%267%23x HTTP/1.1");
  EXPECT_EQ(reqs[1].cabeca.substr(0, reqs[1].cabeca.find("\r\n")),
            "POST /v1/financeiro/cliente/faturado?token_erp=tok%267%23x HTTP/1.0");
  const auto log = MensagensDoLog(amb.DiretorioExe() + "/Log.txt");
  // The token as stored has seven characters: hidden whole, never cut inside an escape.
  const std::string linha_get = "GET URL.......: HTTP://127.0.0.1:" + std::to_string(sim.Porta()) +
                                "/v1/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=****";
  EXPECT_NE(std::find(log.begin(), log.end(), linha_get), log.end());
  for (const auto& linha : log) {
    EXPECT_EQ(linha.find("tok%"), std::string::npos) << linha;
    EXPECT_EQ(linha.find("7%23x"), std::string::npos) << linha;
  }
}

}  // namespace
}  // namespace lumiford::teste
