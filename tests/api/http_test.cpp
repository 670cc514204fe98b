// The HTTP client against the supplier simulator on loopback: the request
// bytes, both error paths, every way the server can fail, and TLS.
#include "api/http.h"

#include <gtest/gtest.h>

#include <optional>

#include "api/chamada.h"
#include "api/multipart.h"
#include "tests/api/apoio.h"
#include "tests/support/porta_reservada.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;

const std::string kFixos =
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Encoding: identity\r\n"
    "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n";

std::string HostLocal(const Simulador& sim) { return "127.0.0.1:" + std::to_string(sim.Porta()); }

class ClienteHttp : public AmbienteApi {
 protected:
  TIdHTTP http;
};

TEST_F(ClienteHttp, PostJsonSaiComOsBytesExatos) {
  Simulador sim;
  sim.Responder("/financeiro/cliente/faturado", Resposta::Json(R"({"error": false})"));
  PrepararEnvioJson(http, "POST");
  // The body goes as UTF-8 bytes, not as 7-bit text.
  const std::string corpo = R"([{"id_fatura": 101, "valorPago": 150.5, "nome": "José"}])";

  EXPECT_EQ(http.Post(sim.Base() + "/financeiro/cliente/faturado?token_erp=abc123", corpo), R"({"error": false})");

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].bruto,
            "POST /financeiro/cliente/faturado?token_erp=abc123 HTTP/1.0\r\n"
            "Connection: keep-alive\r\n"
            "Content-Encoding: UTF-8\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: " +
                std::to_string(corpo.size()) + "\r\nHost: " + HostLocal(sim) + "\r\n" + kFixos + "\r\n" + corpo);
  EXPECT_FALSE(http.Connected()) << "a POST does not keep its connection";
}

TEST_F(ClienteHttp, GetSaiEmHttp11ComConnectionSoDepoisDoPrimeiroPost) {
  Simulador sim;
  sim.ResponderPadrao(Resposta::Json("{}"));
  const std::string url = sim.Base() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=abc";
  const std::string cabeca_get =
      "GET /financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=abc HTTP/1.1\r\n"
      "Content-Encoding: UTF-8\r\n"
      "Content-Type: application/json\r\n"
      "Host: " +
      HostLocal(sim) + "\r\n" + kFixos + "\r\n";

  PrepararEnvioJson(http, "GET");
  http.Get(url);
  PrepararEnvioJson(http, "POST");
  http.Post(sim.Base() + "/financeiro/cliente/faturado?token_erp=abc", "[]");
  PrepararEnvioJson(http, "GET");
  http.Get(url);

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].bruto, cabeca_get);
  EXPECT_EQ(reqs[2].bruto, "GET /financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=abc HTTP/1.1\r\n"
                           "Connection: keep-alive\r\n" +
                               cabeca_get.substr(cabeca_get.find("\r\n") + 2));
}

TEST_F(ClienteHttp, PostMultipartLevaOCorpoComSeuTipoETamanho) {
  std::string dados(50000, '\0');
  for (std::size_t i = 0; i < dados.size(); ++i) dados[i] = static_cast<char>(i * 7 % 256);
  CriarArquivo(pasta / "CM 1234-1.pdf", dados);
  Simulador sim;
  sim.Responder("/financeiro/fatura/documento/boleto", Resposta::Json(R"({"sucess": true, "message": "ok"})"));
  PrepararEnvioMultipart(http);
  CorpoMultipart corpo;
  corpo.AdicionarArquivo("arquivo", pasta / "CM 1234-1.pdf", "application/octet-stream");

  const std::string url = sim.Base() + "/financeiro/fatura/documento/boleto?token_erp=abc&cnpj=98.765.432/0001-10";
  EXPECT_EQ(http.Post(url, corpo), R"({"sucess": true, "message": "ok"})");

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].cabeca,
            "POST /financeiro/fatura/documento/boleto?token_erp=abc&cnpj=98.765.432/0001-10 HTTP/1.0\r\n"
            "Connection: keep-alive\r\n"
            "Content-Encoding: UTF-8\r\n"
            "Content-Type: multipart/form-data; boundary=" +
                corpo.Boundary() + "\r\nContent-Length: " + std::to_string(corpo.Tamanho()) + "\r\nHost: " +
                HostLocal(sim) + "\r\n" + kFixos + "\r\n");
  EXPECT_EQ(reqs[0].corpo, corpo.Texto());
  EXPECT_EQ(http.Request.ContentType, corpo.ContentType());
}

TEST_F(ClienteHttp, CaracteresForaDoAsciiViramInterrogacaoNaCabeca) {
  Simulador sim;
  sim.ResponderPadrao(Resposta::Json("{}"));
  PrepararEnvioJson(http, "GET");
  http.Request.ContentEncoding = "UTF-8çã";
  http.Get(sim.Base() + "/financeiro/ação?cnpj=Sé\x01");
  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].cabeca.substr(0, reqs[0].cabeca.find("\r\nContent-Type")),
            "GET /financeiro/a??o?cnpj=S?? HTTP/1.1\r\nContent-Encoding: UTF-8??");
}

TEST_F(ClienteHttp, CookiesVoltamAoMesmoHost) {
  Simulador sim;
  Resposta a = Resposta::Json("{}");
  a.set_cookie = {"sessao=abc123; Path=/; HttpOnly", "tema=escuro"};
  Resposta b = Resposta::Json("{}");
  b.set_cookie = {"tema=claro", "nome=José"};
  Resposta c = Resposta::Json("{}");
  c.set_cookie = {"sessao=; Max-Age=0"};
  sim.Responder("/a", a);
  sim.Responder("/b", b);
  sim.Responder("/c", c);
  sim.ResponderPadrao(Resposta::Json("{}"));
  PrepararEnvioJson(http, "GET");

  for (const char* caminho : {"/a", "/b", "/c", "/d"}) http.Get(sim.Base() + caminho);
  // Cookies belong to the host name: "localhost" is another site.
  http.Get("http://localhost:" + std::to_string(sim.Porta()) + "/e");

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 5u);
  const auto cookie = [](const RequisicaoGravada& r) {
    const auto pos = r.cabeca.find("Cookie: ");
    return pos == std::string::npos ? std::string("(nenhum)") : r.cabeca.substr(pos, r.cabeca.find("\r\n", pos) - pos);
  };
  EXPECT_EQ(cookie(reqs[0]), "(nenhum)");
  EXPECT_EQ(cookie(reqs[1]), "Cookie: sessao=abc123; tema=escuro");
  EXPECT_EQ(cookie(reqs[2]), "Cookie: sessao=abc123; tema=claro; nome=Jos?");
  EXPECT_EQ(cookie(reqs[3]), "Cookie: tema=claro; nome=Jos?");
  EXPECT_EQ(cookie(reqs[4]), "(nenhum)");
  // The Cookie line is the last one of the head.
  EXPECT_EQ(reqs[1].cabeca.substr(reqs[1].cabeca.size() - 40), "\r\nCookie: sessao=abc123; tema=escuro\r\n\r\n");
}

struct CasoEndereco {
  std::string url;
  bool tls;
  std::string host;
  std::string host_rede;
  int porta;
  std::string recurso;
};

TEST(SepararEndereco, EsquemaHostPortaERecurso) {
  const CasoEndereco casos[] = {
      {"http://127.0.0.1:8080/financeiro/x?token_erp=a", false, "127.0.0.1:8080", "127.0.0.1", 8080,
       "/financeiro/x?token_erp=a"},
      {"https://api.exemplo.com.br/v1/financeiro/x?a=1", true, "api.exemplo.com.br", "api.exemplo.com.br", 443,
       "/v1/financeiro/x?a=1"},
      {"HTTPS://api.exemplo.com.br:443/x", true, "api.exemplo.com.br", "api.exemplo.com.br", 443, "/x"},
      {"Http://h:80/x", false, "h", "h", 80, "/x"},
      {"https://h:8443/x", true, "h:8443", "h", 8443, "/x"},
      {"http://h:443/x", false, "h:443", "h", 443, "/x"},
      {"ftp://h:2121/x?y", false, "h:2121", "h", 2121, "/x?y"},
      {"http://h/x?a=1#b&token_erp=2", false, "h", "h", 80, "/x?a=1"},
      {"http://h?a=1", false, "h", "h", 80, "/?a=1"},
      {"http://h", false, "h", "h", 80, "/"},
      {"http://[::1]:8080/x", false, "[::1]:8080", "::1", 8080, "/x"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.url);
    const PartesEndereco e = SepararEndereco(caso.url);
    EXPECT_EQ(e.tls, caso.tls);
    EXPECT_EQ(e.Host(), caso.host);
    EXPECT_EQ(e.host_rede, caso.host_rede);
    EXPECT_EQ(e.porta, caso.porta);
    EXPECT_EQ(e.recurso, caso.recurso);
  }
  for (const char* invalido : {"ftp://h/x", "h/x", "http:///x", "http://h:abc/x", "http://h:70000/x", "http://h:0/"}) {
    SCOPED_TRACE(invalido);
    EXPECT_THROW(SepararEndereco(invalido), ErroTransporte);
  }
}

struct CasoStatus {
  int status;
  std::string motivo;
  std::string corpo;
  std::string location;
};

TEST_F(ClienteHttp, StatusForaDe2xxEErroComCodigoLinhaECorpo) {
  const CasoStatus casos[] = {
      {500, "Internal Server Error", R"({"erro": "falhou"})", ""},
      {404, "Not Found", "<html>não achei</html>", ""},
      {302, "Found", "", "/outro"},
      {301, "Moved Permanently", "foi", "http://127.0.0.1:1/x"},
  };
  for (const auto& caso : casos) {
    for (const bool post : {false, true}) {
      SCOPED_TRACE(std::to_string(caso.status) + (post ? " POST" : " GET"));
      Simulador sim;
      Resposta r = Resposta::Status(caso.status, caso.motivo, caso.corpo);
      if (!caso.location.empty()) r.cabecalhos = {{"Location", caso.location}};
      sim.ResponderPadrao(r);
      try {
        post ? http.Post(sim.Base() + "/x", "[]") : http.Get(sim.Base() + "/x");
        ADD_FAILURE() << "no error";
      } catch (const ErroHttpStatus& erro) {
        EXPECT_EQ(erro.Codigo(), caso.status);
        EXPECT_EQ(erro.LinhaStatus(), "HTTP/1.1 " + std::to_string(caso.status) + " " + caso.motivo);
        EXPECT_EQ(erro.Corpo(), caso.corpo);
      }
      EXPECT_EQ(sim.Requisicoes().size(), 1u) << "redirections are not followed";
    }
  }
}

struct CasoResposta {
  const char* nome;
  Resposta resposta;
  std::string esperado;
};

Resposta Enquadrada(std::string corpo, Resposta::Enquadramento e) {
  Resposta r = Resposta::Json(std::move(corpo));
  r.enquadramento = e;
  return r;
}

TEST_F(ClienteHttp, RespostaLidaPorTamanhoChunkedOuAteFechar) {
  using E = Resposta::Enquadramento;
  const std::string json = R"({"sucess": true, "message": "Arquivo recebido com sucesso."})";
  const CasoResposta casos[] = {
      {"tamanho", Enquadrada(json, E::Tamanho), json},
      {"chunked", Enquadrada(json, E::Chunked), json},
      {"ate fechar", Enquadrada(json, E::AteFechar), json},
      {"quebra e brancos no fim", Enquadrada(json + "\r\n  ", E::Chunked), json + "\r\n  "},
      {"vazio", Enquadrada("", E::Tamanho), ""},
      {"utf-8 invalido", Enquadrada("a\xff" "b\xc3", E::Tamanho), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
      {"utf-8 valido", Enquadrada("Número ✓", E::AteFechar), "Número ✓"},
  };
  for (const auto& caso : casos) {
    for (const bool tls : {false, true}) {
      SCOPED_TRACE(std::string(caso.nome) + (tls ? " https" : " http"));
      Simulador sim(tls ? Simulador::Certificado::Confiavel : Simulador::Certificado::Nenhum);
      sim.GravarCa(pasta / "ca.pem");
      CertificadoCA = pasta / "ca.pem";
      sim.ResponderPadrao(caso.resposta);
      EXPECT_EQ(http.Get(sim.Base() + "/x"), caso.esperado);
      EXPECT_EQ(http.Post(sim.Base() + "/x", "[]"), caso.esperado);
    }
  }
}

struct CasoFalha {
  const char* nome;
  std::optional<Resposta> resposta;  // empty: the address alone fails
  std::string url;                   // used when there is no reply
};

Resposta Gerada(std::uint64_t tamanho, Resposta::Enquadramento e) {
  Resposta r;
  r.tamanho_gerado = tamanho;
  r.enquadramento = e;
  return r;
}

TEST_F(ClienteHttp, FalhasDeTransporteSaoErroTransporteEOClienteSegueUsavel) {
  using F = Resposta::Falha;
  Resposta atrasada = Resposta::Json("{}");
  atrasada.atraso = 5s;
  const PortaReservada fechada;
  const CasoFalha casos[] = {
      {"reset", Resposta::ComFalha(F::Reset), ""},
      {"fechada sem resposta", Resposta::ComFalha(F::SemResposta), ""},
      {"lixo", Resposta::ComFalha(F::Lixo), ""},
      {"chunked cortado", Resposta::ComFalha(F::ChunkedCortado), ""},
      {"atraso alem do tempo de leitura", atrasada, ""},
      {"tamanho declarado acima de 64 MiB", Gerada(kLimiteResposta + 1, Resposta::Enquadramento::Tamanho), ""},
      {"chunked acima de 64 MiB", Gerada(kLimiteResposta + 1, Resposta::Enquadramento::Chunked), ""},
      {"conexao recusada", std::nullopt, "http://127.0.0.1:" + std::to_string(fechada.Porta()) + "/x"},
      {"nome que nao resolve", std::nullopt, "http://servidor.invalid/x"},
      {"esquema desconhecido sem porta", std::nullopt, "ftp://127.0.0.1/x"},
  };
  http.ConnectTimeout(2000ms);
  http.ReadTimeout(300ms);
  Simulador bom;
  bom.ResponderPadrao(Resposta::Json("{\"ok\": true}"));
  for (const auto& caso : casos) {
    for (const bool post : {false, true}) {
      SCOPED_TRACE(std::string(caso.nome) + (post ? " POST" : " GET"));
      std::optional<Simulador> sim;
      std::string url = caso.url;
      if (caso.resposta) {
        sim.emplace();
        sim->ResponderPadrao(*caso.resposta);
        url = sim->Base() + "/x";
      }
      EXPECT_THROW(post ? http.Post(url, "[]") : http.Get(url), ErroTransporte);
      // A GET to an address that cannot be used leaves the kept connection alone.
      if (post || caso.resposta) {
        EXPECT_FALSE(http.Connected());
      }
      EXPECT_EQ(http.Get(bom.Base() + "/y"), "{\"ok\": true}");
    }
  }
}

TEST_F(ClienteHttp, RespostaNoLimiteDe64MiBEAceita) {
  Simulador sim;
  sim.ResponderPadrao(Gerada(kLimiteResposta, Resposta::Enquadramento::Tamanho));
  EXPECT_EQ(http.Get(sim.Base() + "/x").size(), kLimiteResposta);
}

TEST_F(ClienteHttp, GetReaproveitaAConexaoEPostAbreOutra) {
  Simulador sim;
  sim.ResponderPadrao(Resposta::Json("{}"));
  http.Get(sim.Base() + "/a");
  EXPECT_TRUE(http.Connected());
  http.Get(sim.Base() + "/b");
  http.Post(sim.Base() + "/c", "[]");
  http.Get(sim.Base() + "/d");
  http.Disconnect();
  EXPECT_FALSE(http.Connected());
  http.Get(sim.Base() + "/e");

  std::vector<int> conexoes;
  for (const auto& r : sim.Requisicoes()) conexoes.push_back(r.conexao);
  EXPECT_EQ(conexoes, (std::vector<int>{1, 1, 2, 3, 4}));
}

TEST_F(ClienteHttp, ConexaoMantidaQueOServidorFechouEReabertaUmaVez) {
  Simulador sim;
  Resposta fecha = Resposta::Json("primeira");
  fecha.fechar_em_silencio = true;
  sim.Responder("/a", fecha);
  sim.Responder("/b", Resposta::Json("segunda"));
  EXPECT_EQ(http.Get(sim.Base() + "/a"), "primeira");
  EXPECT_EQ(http.Get(sim.Base() + "/b"), "segunda");
  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].conexao, 2);
}

struct CasoTls {
  const char* nome;
  Simulador::Certificado certificado;
  bool com_ca;
  std::string verificar;
  std::string host;
  bool aceita;
};

TEST_F(ClienteHttp, HttpsVerificaCadeiaENomeSalvoComVerificacaoDesligada) {
  using C = Simulador::Certificado;
  const CasoTls casos[] = {
      {"CA de teste, por IP", C::Confiavel, true, "", "127.0.0.1", true},
      {"CA de teste, por nome", C::Confiavel, true, "", "localhost", true},
      {"CA de teste sem o arquivo da CA", C::Confiavel, false, "", "127.0.0.1", false},
      {"autoassinado", C::NaoConfiavel, true, "", "127.0.0.1", false},
      {"outro host", C::HostErrado, true, "", "127.0.0.1", false},
      {"outro host, por nome", C::HostErrado, true, "", "localhost", false},
      {"verificacao 'nao' minusculo", C::HostErrado, true, "nao", "127.0.0.1", false},
      {"autoassinado com Nao", C::NaoConfiavel, false, "Nao", "127.0.0.1", true},
      {"outro host com Nao", C::HostErrado, true, "Nao", "localhost", true},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim(caso.certificado);
    sim.ResponderPadrao(Resposta::Json("{}"));
    sim.GravarCa(pasta / "ca.pem");
    CertificadoCA = caso.com_ca ? pasta / "ca.pem" : "";
    VerificarCertificado = caso.verificar;
    EXPECT_EQ(VerificacaoCertificadoDesligada(), caso.verificar == "Nao");
    TIdHTTP cliente;
    PrepararEnvioJson(cliente, "POST");
    const std::string base = "https://" + caso.host + ":" + std::to_string(sim.Porta());
    if (!caso.aceita) {
      EXPECT_THROW(cliente.Post(base + "/x", "[]"), ErroTransporte);
      EXPECT_THROW(cliente.Get(base + "/x"), ErroTransporte);
      EXPECT_TRUE(sim.Requisicoes().empty());
      continue;
    }
    EXPECT_EQ(cliente.Post(base + "/x", "[]"), "{}");
    EXPECT_EQ(cliente.Get(base + "/x"), "{}");
    const auto reqs = sim.Requisicoes();
    ASSERT_EQ(reqs.size(), 2u);
    for (const auto& r : reqs) {
      EXPECT_EQ(r.cabeca.find("Connection:"), std::string::npos) << "never over https";
      EXPECT_NE(r.cabeca.find("\r\nHost: " + caso.host + ":" + std::to_string(sim.Porta()) + "\r\n"),
                std::string::npos);
      // SNI carries host names, never an address.
      EXPECT_EQ(r.sni, caso.host == "localhost" ? "localhost" : "");
    }
  }
}

// The client resumes its last TLS session with a server; a session made
// under other trust settings must never let a connection skip the checks.
TEST_F(ClienteHttp, SessaoTlsRetomadaNaoSobreviveAOutraConfianca) {
  using C = Simulador::Certificado;
  struct Caso {
    const char* nome;
    C certificado;
    bool com_ca_antes;
    std::string verificar_antes;
  };
  const Caso casos[] = {
      {"CA de teste, depois sem o arquivo da CA", C::Confiavel, true, ""},
      {"autoassinado com Nao, depois verificado", C::NaoConfiavel, true, "Nao"},
      {"outro host com Nao, depois verificado", C::HostErrado, true, "Nao"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim(caso.certificado);
    sim.ResponderPadrao(Resposta::Json("{}"));
    sim.GravarCa(pasta / "ca.pem");
    CertificadoCA = caso.com_ca_antes ? pasta / "ca.pem" : "";
    VerificarCertificado = caso.verificar_antes;
    TIdHTTP cliente;
    PrepararEnvioJson(cliente, "POST");
    // The second exchange resumes the session of the first.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(cliente.Post(sim.Base() + "/x", "[]"), "{}");
    CertificadoCA = "";
    VerificarCertificado = "";
    EXPECT_THROW(cliente.Post(sim.Base() + "/x", "[]"), ErroTransporte);
    EXPECT_THROW(cliente.Get(sim.Base() + "/x"), ErroTransporte);
    EXPECT_EQ(sim.Requisicoes().size(), 3u);
  }
}

TEST_F(ClienteHttp, ArquivoDeCaInexistenteEErroTransporte) {
  Simulador sim(Simulador::Certificado::Confiavel);
  CertificadoCA = pasta / "nao-existe.pem";
  EXPECT_THROW(http.Get(sim.Base() + "/x"), ErroTransporte);
}

}  // namespace
}  // namespace lumiford::teste
