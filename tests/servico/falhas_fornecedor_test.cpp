// The supplier's web service failing every way it can while the service
// works: nothing listening, a connection reset once the request is read or
// half-way through the reply, closed without a reply, a reply later than the
// read time-out, an error status or a redirection whose body reads like an
// acceptance, bytes that are not HTTP, a body past the reply limit, a
// chunked reply cut short. After each: nothing is marked or imported that the
// supplier did not accept, the service keeps running, and once the supplier
// behaves the next run does the work, each piece once.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "api/http.h"
#include "api/ufuncoes_api.h"
#include "dm/agendador.h"
#include "dm/udm.h"
#include "global/uglobal.h"
#include "tests/api/faturamento_apoio.h"
#include "tests/servico/apoio_processo.h"
#include "tests/support/banco_teste.h"
#include "tests/support/porta_reservada.h"
#include "tests/support/simulador.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

const char* const Exe = LUMIFORD_EXE;


// ---------------------------------------------------------------- the failures

enum class Modo {
  Recusada,            // nothing listening on the port
  ResetAoLerPedido,    // the request read whole, then a reset instead of a reply
  ResetNaResposta,     // the head and half the body of an acceptance, then a reset
  SemResposta,         // closed without a byte
  AlemDoPrazo,         // the acceptance, but later than the read time-out
  Status500,           // 500 whose body is the acceptance
  Redirecao,           // 302 to an address that would accept, body the acceptance
  Lixo,                // bytes that are not HTTP
  CorpoEnorme,         // a Content-Length past the reply limit
  CorpoEnormeChunked,  // a chunked body that grows past the reply limit
  ChunkedCortado,      // a chunked reply cut off in its first chunk
};

struct CasoFalha {
  const char* nome;
  Modo modo;
  // The transport error's text as the service reports it; empty for an error status.
  const char* razao;
  // Timer's flows: only the boleto upload fails, the other two are accepted
  // at once; for failures that cost seconds or megabytes per request.
  bool so_boleto = false;
  bool https = false;
};

const CasoFalha kCasos[] = {
    {.nome = "Recusada", .modo = Modo::Recusada, .razao = "Não foi possível conectar a 127.0.0.1:"},
    {.nome = "ResetAoLerOPedido",
     .modo = Modo::ResetAoLerPedido,
     .razao = "Falha ao ler a resposta: Connection reset by peer"},
    {.nome = "ResetNoMeioDaResposta",
     .modo = Modo::ResetNaResposta,
     .razao = "Falha ao ler a resposta: Connection reset by peer"},
    {.nome = "FechadaSemResposta", .modo = Modo::SemResposta, .razao = "A conexão foi fechada sem resposta."},
    {.nome = "AlemDoTempoDeLeitura", .modo = Modo::AlemDoPrazo, .razao = "Tempo de leitura esgotado.", .so_boleto = true},
    {.nome = "Status500ComCorpo", .modo = Modo::Status500, .razao = ""},
    {.nome = "Redirecao302", .modo = Modo::Redirecao, .razao = ""},
    {.nome = "Lixo", .modo = Modo::Lixo, .razao = "Falha ao ler a resposta: "},
    {.nome = "CorpoAlemDoLimite", .modo = Modo::CorpoEnorme, .razao = "Resposta maior que o limite de 64 MiB."},
    {.nome = "CorpoChunkedAlemDoLimite",
     .modo = Modo::CorpoEnormeChunked,
     .razao = "Resposta maior que o limite de 64 MiB.",
     .so_boleto = true},
    {.nome = "ChunkedCortado", .modo = Modo::ChunkedCortado, .razao = "Falha ao ler a resposta: "},
};

void PrintTo(const CasoFalha& caso, std::ostream* saida) { *saida << caso.nome; }

// The same over https, the supplier's certificate checked against the test
// CAs: the failures that come after the handshake.
const CasoFalha kCasosHttps[] = {
    {.nome = "ResetAoLerOPedido", .modo = Modo::ResetAoLerPedido, .razao = "Falha ao ler a resposta: ", .https = true},
    {.nome = "Status500ComCorpo", .modo = Modo::Status500, .razao = "", .https = true},
    {.nome = "Lixo", .modo = Modo::Lixo, .razao = "Falha ao ler a resposta: ", .https = true},
    {.nome = "CorpoChunkedAlemDoLimite",
     .modo = Modo::CorpoEnormeChunked,
     .razao = "Resposta maior que o limite de 64 MiB.",
     .so_boleto = true,
     .https = true},
};

std::string NomeCaso(const ::testing::TestParamInfo<CasoFalha>& info) { return info.param.nome; }

// What the simulator answers on a failing path; `aceite` is the reply that
// would have meant the supplier took the request.
Resposta RespostaFalha(Modo modo, const std::string& aceite, const std::string& base, const std::string& caminho) {
  using F = Resposta::Falha;
  switch (modo) {
    case Modo::ResetAoLerPedido:
      return Resposta::ComFalha(F::Reset);
    case Modo::SemResposta:
      return Resposta::ComFalha(F::SemResposta);
    case Modo::Lixo:
      return Resposta::ComFalha(F::Lixo);
    case Modo::ChunkedCortado:
      return Resposta::ComFalha(F::ChunkedCortado);
    case Modo::AlemDoPrazo: {
      Resposta r = Resposta::Json(aceite);
      r.atraso = 11s;  // the client gives up after 10 s
      return r;
    }
    case Modo::Status500:
      return Resposta::Status(500, "Internal Server Error", aceite);
    case Modo::Redirecao: {
      Resposta r = Resposta::Status(302, "Found", aceite);
      r.cabecalhos = {{"Location", base + "/novo" + caminho}};
      return r;
    }
    case Modo::CorpoEnorme:
    case Modo::CorpoEnormeChunked: {
      Resposta r;
      r.tamanho_gerado = kLimiteResposta + 1;
      if (modo == Modo::CorpoEnormeChunked) r.enquadramento = Resposta::Enquadramento::Chunked;
      return r;
    }
    case Modo::ResetNaResposta: {
      Resposta r = Resposta::Json(aceite);
      r.falha = F::ResetNoMeio;
      return r;
    }
    case Modo::Recusada:
      break;
  }
  throw std::logic_error("not a simulator failure");
}

// The suppliers of a test start only once the service runs: a child process
// would inherit their sockets and keep the port listening after they are gone.
// The supplier while it fails, on the given port. On the paths in `falhos`
// it fails in the case's way, every time; on the others it accepts. The
// behaving supplier later takes over its port.
class FornecedorFalho {
 public:
  FornecedorFalho(Modo modo, std::uint16_t porta, Simulador::Certificado certificado,
                  const std::map<std::string, std::string>& aceites, const std::set<std::string>& falhos) {
    if (modo != Modo::Recusada) {
      sim_ = std::make_unique<Simulador>(certificado, porta);
      for (const auto& [caminho, aceite] : aceites) {
        sim_->Responder(caminho, falhos.count(caminho) ? RespostaFalha(modo, aceite, sim_->Base(), caminho)
                                                       : Resposta::Json(aceite));
        // Where a redirection points: a client that followed it would be accepted there.
        sim_->Responder("/novo" + caminho, Resposta::Json(aceite));
      }
    }
  }
  // PEM of the CA of its certificate; empty without https.
  std::string CaPem() const { return sim_ ? sim_->CaPem() : std::string(); }
  // What reached it; nothing when nothing listens.
  std::vector<RequisicaoGravada> Requisicoes() const {
    if (sim_) return sim_->Requisicoes();
    return {};
  }

 private:
  std::unique_ptr<Simulador> sim_;
};

// The reason a transport failure gives on this port.
std::string Razao(const CasoFalha& caso, std::uint16_t porta) {
  if (caso.modo == Modo::Recusada)
    return "Não foi possível conectar a 127.0.0.1:" + std::to_string(porta) + ": Connection refused";
  return caso.razao;
}

std::size_t Ocorrencias(const std::string& texto, const std::string& trecho) {
  std::size_t n = 0;
  for (auto pos = texto.find(trecho); pos != std::string::npos; pos = texto.find(trecho, pos + trecho.size())) ++n;
  return n;
}

std::vector<RequisicaoGravada> De(const std::vector<RequisicaoGravada>& requisicoes, const std::string& caminho) {
  std::vector<RequisicaoGravada> escolhidas;
  for (const auto& req : requisicoes)
    if (req.caminho == caminho) escolhidas.push_back(req);
  return escolhidas;
}

// ---------------------------------------------------------------- Timer in service mode

// Company 7, its Timer every 300 ms: a paid receivable with invoice 501,
// which is also a contract receivable with its boleto PDF and its authorised
// service invoice 457 with the XML. No billing request.
void PrepararEmpresa(Instalacao& inst, const std::string& conexao, std::uint16_t porta) {
  PrepararEmpresaComTrabalho(inst, conexao, "127.0.0.1:" + std::to_string(porta), "0.005", "2", "segredo-7f3a9c");
}

const std::map<std::string, std::string> kAceitesTimer = {
    {kFaturado, R"({"error": false, "messageSuccess": [{"message": "Registro recebido", "id_fatura": 501}], )"
                R"("messageError": []})"},
    {kBoleto, R"({"sucess": true, "message": "Boleto recebido"})"},
    {kNotaFiscal, R"({"sucess": true, "message": "XML recebido"})"},
};

class FornecedorFalhaNoTimer : public ::testing::TestWithParam<CasoFalha> {};

TEST_P(FornecedorFalhaNoTimer, NothingMarkedUntilAcceptedAndTheServiceCarriesOn) {
  const CasoFalha& caso = GetParam();
  const std::set<std::string> falhos =
      caso.so_boleto ? std::set<std::string>{kBoleto} : std::set<std::string>{kFaturado, kBoleto, kNotaFiscal};
  const PortaReservada reserva;
  const std::uint16_t porta = reserva.Porta();

  const auto certificado = caso.https ? Simulador::Certificado::Confiavel : Simulador::Certificado::Nenhum;

  Instalacao inst(Exe);
  // Every supplier has a CA of its own, all with the same name: the file
  // holds the one of the supplier listening now.
  const fs::path cas = inst.Temp() / "ca.pem";
  const auto confiar = [&](const std::string& pem) {
    std::ofstream saida(cas, std::ios::binary | std::ios::trunc);
    saida << pem;
  };
  inst.Configurar("7", true, "Sim",
                  caso.https ? std::vector<std::string>{"CertificadoCA=" + cas.string()} : std::vector<std::string>{});
  PrepararEmpresa(inst, caso.https ? "https" : "http", porta);
  auto servico = inst.Iniciar({});
  // Up well before Timer's first run, one second after the start.
  auto fornecedor = std::make_unique<FornecedorFalho>(caso.modo, porta, certificado, kAceitesTimer, falhos);
  if (caso.https) confiar(fornecedor->CaPem());

  // The failing runs: each failing request leaves its lines in Log.txt and a
  // transport error its reason in the event log; the pieces not failing go
  // through meanwhile.
  const std::string evento = "lumiford_financeiro: " + Razao(caso, porta);
  const bool status = std::string(caso.razao).empty();
  const auto falhou = [&] {
    const auto linhas = inst.Linhas();
    if (Contar(linhas, "Erro ao ler a resposta da API.") < falhos.size()) return false;
    if (status) {
      for (const auto& caminho : falhos)
        if (Contar(linhas, "Erro.: " + kAceitesTimer.at(caminho)) == 0) return false;
    } else if (Ocorrencias(servico->Erros(), evento) < falhos.size()) {
      return false;
    }
    const auto recebidas = fornecedor->Requisicoes();
    for (const auto& [caminho, aceite] : kAceitesTimer)
      if (!falhos.count(caminho) && De(recebidas, caminho).empty()) return false;
    return true;
  };
  ASSERT_TRUE(Aguardar(falhou, 60s)) << ::testing::PrintToString(inst.Linhas()) << servico->Erros();
  ASSERT_TRUE(servico->Vivo()) << servico->Erros();

  const auto recebidas = fornecedor->Requisicoes();
  for (const auto& req : recebidas) EXPECT_TRUE(kAceitesTimer.count(req.caminho)) << "followed to " << req.caminho;
  for (const auto& [caminho, aceite] : kAceitesTimer) {
    if (falhos.count(caminho)) continue;
    // Accepted once, marked at once: never sent again.
    EXPECT_EQ(De(recebidas, caminho).size(), 1u) << caminho;
  }
  if (caso.modo == Modo::ResetAoLerPedido || caso.modo == Modo::ResetNaResposta || caso.modo == Modo::AlemDoPrazo) {
    // The supplier got the whole file before the reply was lost: the upload
    // must go again (twice is harmless, lost is not).
    const auto boletos = De(recebidas, kBoleto);
    ASSERT_FALSE(boletos.empty());
    EXPECT_NE(boletos.front().corpo.find(kPdfEmpresa), std::string::npos);
  }

  // The supplier behaves again, on the same port.
  fornecedor.reset();
  Simulador bom(certificado, porta);
  for (const auto& [caminho, aceite] : kAceitesTimer) bom.Responder(caminho, Resposta::Json(aceite));
  if (caso.https) confiar(bom.CaPem());
  const auto enviados = [&](const std::string& caminho) { return De(bom.Requisicoes(), caminho).size(); };
  ASSERT_TRUE(Aguardar(
      [&] {
        for (const auto& caminho : falhos)
          if (enviados(caminho) == 0) return false;
        return true;
      },
      60s))
      << ::testing::PrintToString(inst.Linhas()) << servico->Erros();
  // A few more whole runs, in which nothing is left to send.
  const std::string inicioNotas = "Enviando os arquivos XML das Notas de Serviço para a API.";
  const std::size_t runs = Contar(inst.Linhas(), inicioNotas);
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), inicioNotas) >= runs + 3; }, 60s));
  EXPECT_TRUE(servico->Vivo()) << servico->Erros();

  // Each piece that had failed was sent again and accepted exactly once; what
  // was accepted during the failures was not sent again. A piece marked
  // during the failures would not have been sent again: the second sending is
  // what shows that the failure left it unmarked.
  for (const auto& [caminho, aceite] : kAceitesTimer) EXPECT_EQ(enviados(caminho), falhos.count(caminho)) << caminho;
  if (falhos.count(kBoleto)) {
    const auto boletos = De(bom.Requisicoes(), kBoleto);
    ASSERT_EQ(boletos.size(), 1u);
    EXPECT_NE(boletos.front().corpo.find(kPdfEmpresa), std::string::npos);
  }
  if (falhos.count(kNotaFiscal)) {
    const auto notas = De(bom.Requisicoes(), kNotaFiscal);
    ASSERT_EQ(notas.size(), 1u);
    EXPECT_NE(notas.front().corpo.find(kXmlEmpresa), std::string::npos);
  }

  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0) << servico->Erros();
  const auto linhas = inst.Linhas();
  ASSERT_FALSE(linhas.empty());
  EXPECT_EQ(linhas.back(), "Service - Stop");
  EXPECT_EQ(Contar(linhas, "Service - Start"), 1u);
  EXPECT_EQ(inst.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = 501"), "2");
  EXPECT_EQ(inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER WHERE NUMERO = 1001"), "Enviado");
  EXPECT_EQ(inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA WHERE NUMERO = 457"), "Enviado");
}

INSTANTIATE_TEST_SUITE_P(Modos, FornecedorFalhaNoTimer, ::testing::ValuesIn(kCasos), NomeCaso);
INSTANTIATE_TEST_SUITE_P(ModosHttps, FornecedorFalhaNoTimer, ::testing::ValuesIn(kCasosHttps), NomeCaso);

// ---------------------------------------------------------------- billing import in process

// Four invoices: two of a new client, one of another new client, one of a
// client the ERP knows.
std::vector<Item> ItensFaturamento() {
  std::vector<Item> itens = {ItemCliente(9101, CnpjTeste(1)), ItemCliente(9102, CnpjTeste(1)),
                             ItemCliente(9103, CnpjTeste(2)), ItemCliente(9104, CnpjTeste(3))};
  return itens;
}

class FornecedorFalhaNaImportacao : public ::testing::TestWithParam<CasoFalha> {
 protected:
  void TearDown() override {
    dm.reset();
    FluxosTimer().clear();
    FluxosRequisicao().clear();
    amb_.reset();
  }

  void Preparar(std::uint16_t porta) {
    ConfiguracaoIni ini;
    ini.empresa = "7";
    ini.debug = "Nao";
    amb_.emplace(ini);
    amb_->Executar(
        "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
        "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES (7, 'Empresa 7', '2', 'http', "
        "'127.0.0.1:" + std::to_string(porta) + "', 'tok-7abc9d2e', 12)");
    amb_->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (15, 'Cliente conhecido', '" +
                   CnpjTesteFormatado(3) + "')");
    amb_->Executar("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) "
                   "VALUES (7, 1, 'BUSCAR_FATURAMENTO_API')");
    RegistrarFluxos();
    dm = std::make_unique<Tdm>();
    ASSERT_FALSE(ErroConexao) << MensagemErroConexao;
  }

  // One run of Timer_Requisicao's handler; the error that left it, "" when none.
  static std::string Rodar() {
    try {
      dm->Timer_RequisicaoTimer();
    } catch (const std::exception& erro) {
      return erro.what();
    }
    return "";
  }

  std::vector<std::string> Log() const { return Mensagens(fs::path(amb_->DiretorioExe()) / "Log.txt"); }
  std::string Valor(const std::string& sql) const { return amb_->Valor(sql); }
  Tabela Consultar(const std::string& sql) const { return amb_->Consultar(sql); }

 private:
  std::optional<AmbienteServico> amb_;
};

TEST_P(FornecedorFalhaNaImportacao, NothingImportedUntilTheReplyArrivesThenEachInvoiceOnce) {
  const CasoFalha& caso = GetParam();
  const std::string resposta = RespostaFaturamento(ItensFaturamento(), false);
  const std::map<std::string, std::string> aceites = {{kFaturamento, resposta}};
  const PortaReservada reserva;
  const std::uint16_t porta = reserva.Porta();
  auto fornecedor = std::make_unique<FornecedorFalho>(caso.modo, porta, Simulador::Certificado::Nenhum, aceites,
                                                      std::set<std::string>{kFaturamento});
  Preparar(porta);
  if (HasFatalFailure()) return;

  // A failing run ends with its error, for the event log; an error status is
  // logged with its body, which is not read even when it holds the billing.
  const bool status = std::string(caso.razao).empty();
  const std::string erro = Rodar();
  EXPECT_NE(erro.find(status ? "'' is not a valid boolean value" : Razao(caso, porta)), std::string::npos) << erro;
  EXPECT_EQ(Log(), status ? std::vector<std::string>{"Erro.: " + resposta} : std::vector<std::string>{});
  EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
  EXPECT_EQ(dm->Timer_Requisicao.Interval(), IntervaloRequisicaoMs);
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_IT_CONTRATO_FATURAMENTO"), "0");
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_CONTRATO_FATURAMENTO"), "0");
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM CAD_PESSOA"), "1");
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = 7"), "1");
  for (const auto& req : fornecedor->Requisicoes()) EXPECT_EQ(req.caminho, kFaturamento);

  // The supplier behaves again, on the same port: the request still pending
  // brings the billing in, every invoice once, every client once.
  fornecedor.reset();
  Simulador bom(Simulador::Certificado::Nenhum, porta);
  bom.Responder(kFaturamento, Resposta::Json(resposta));
  const std::size_t antes = Log().size();
  EXPECT_EQ(Rodar(), "");
  EXPECT_EQ(De(bom.Requisicoes(), kFaturamento).size(), 1u);
  const auto linhas = Log();
  for (std::size_t i = antes; i < linhas.size(); ++i) EXPECT_FALSE(linhas[i].starts_with("Erro")) << linhas[i];

  EXPECT_EQ(Consultar("SELECT I.ID_FATURA, P.CNPJ_CPF FROM MOV_IT_CONTRATO_FATURAMENTO I "
                      "JOIN CAD_PESSOA P ON P.CADASTRO = I.CLIENTE ORDER BY I.ID_FATURA"),
            (Tabela{{"9101", CnpjTesteFormatado(1)},
                    {"9102", CnpjTesteFormatado(1)},
                    {"9103", CnpjTesteFormatado(2)},
                    {"9104", CnpjTesteFormatado(3)}}));
  EXPECT_EQ(Consultar("SELECT CNPJ_CPF, COUNT(*) FROM CAD_PESSOA GROUP BY CNPJ_CPF ORDER BY CNPJ_CPF"),
            (Tabela{{CnpjTesteFormatado(1), "1"}, {CnpjTesteFormatado(2), "1"}, {CnpjTesteFormatado(3), "1"}}));
  EXPECT_EQ(Valor("SELECT CADASTRO FROM CAD_PESSOA WHERE CNPJ_CPF = '" + CnpjTesteFormatado(3) + "'"), "15");
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "0");

  // With the request gone the next run asks for nothing and writes nothing.
  EXPECT_EQ(Rodar(), "");
  EXPECT_EQ(De(bom.Requisicoes(), kFaturamento).size(), 1u);
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_IT_CONTRATO_FATURAMENTO"), "4");
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM CAD_PESSOA"), "3");
}

INSTANTIATE_TEST_SUITE_P(Modos, FornecedorFalhaNaImportacao, ::testing::ValuesIn(kCasos), NomeCaso);

}  // namespace
