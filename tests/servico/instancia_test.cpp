// Other processes around the running service: a second copy of the same
// installation (service mode or /ONCE) ends at once, /CHECK and /INSTALL
// still run beside it, a killed copy never blocks the next start; and
// Log.txt and a boleto written by others while the service works.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/servico/apoio_processo.h"
#include "tests/support/filho.h"
#include "tests/support/linhas_log.h"
#include "tests/support/servidor_firebird.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kExe = LUMIFORD_EXE;
const std::string kOutraCopia = "Outra cópia deste serviço já está rodando nesta instalação";

// Invoices 501 and 502 taken (the second is paid later in the tests).
const std::string kAceitas =
    R"({"error": false, "messageSuccess": [{"message": "Registro recebido", "id_fatura": 501}, )"
    R"({"message": "Registro recebido", "id_fatura": 502}], "messageError": []})";

std::size_t Pedidos(const Simulador& sim, const std::string& caminho) {
  std::size_t n = 0;
  for (const auto& r : sim.Requisicoes()) n += r.caminho == caminho;
  return n;
}

void AceitarTudo(Simulador& sim) {
  sim.Responder(kFaturado, Resposta::Json(kAceitas));
  sim.Responder(kBoleto, Resposta::Json(R"({"sucess": true, "message": "ok"})"));
  sim.Responder(kNotaFiscal, Resposta::Json(R"({"sucess": true, "message": "ok"})"));
  sim.Responder(kFaturamento, Resposta::Json(R"({"error":false,"data":[]})"));
}

class UmaCopia : public ::testing::TestWithParam<Topologia> {};

TEST_P(UmaCopia, ASecondCopyEndsAtOnceCheckRunsBesideItAndAKilledCopyBlocksNothing) {
  Simulador sim;
  AceitarTudo(sim);
  Instalacao inst(kExe, "servico", GetParam());
  inst.Configurar("7", true, "Sim");
  // Timer every minute: the one run at start, then none while the test runs.
  PrepararEmpresaComTrabalho(inst, "http", "127.0.0.1:" + std::to_string(sim.Porta()), "1", "2", "tok-5a6b7c");

  // The engine inside the service holds the files alone (embedded): the
  // database is looked at once the service has stopped.
  const bool embutido = GetParam() == Topologia::Embutido;
  auto servico = inst.Iniciar({});
  ASSERT_TRUE(Aguardar([&] { return Pedidos(sim, kNotaFiscal) == 1; })) << servico->Erros();
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Service - Start") == 1; }));
  const std::string trava = (inst.Dir() / "lumiford_financeiro.trava").string();
  const std::size_t pedidos = sim.Requisicoes().size();
  const std::size_t banners = Contar(inst.Linhas(), "lumiford_financeiro_007");
  ASSERT_EQ(banners, 1u);

  struct Segunda {
    const char* nome;
    std::vector<std::string> argumentos;
  };
  for (const Segunda& segunda : {Segunda{"serviço", {}}, Segunda{"/ONCE", {"/ONCE"}}}) {
    SCOPED_TRACE(segunda.nome);
    const auto r = inst.Rodar(segunda.argumentos);
    EXPECT_EQ(r.codigo, 1);
    EXPECT_NE(r.erros.find(kOutraCopia), std::string::npos) << r.erros;
    EXPECT_NE(r.erros.find("(processo "), std::string::npos) << r.erros;
  }
  std::size_t recusas = 0;
  for (const auto& linha : inst.Linhas()) recusas += linha.starts_with(kOutraCopia);
  EXPECT_EQ(recusas, 2u);
  EXPECT_EQ(Contar(inst.Linhas(), "lumiford_financeiro_007"), banners) << "not even the settings were read";
  EXPECT_EQ(sim.Requisicoes().size(), pedidos) << "the second copies asked the supplier nothing";
  EXPECT_TRUE(servico->Vivo());

  // The operator's look beside the running service, and a reinstall.
  // (With the embedded engine the service holds the database files alone,
  // so there /CHECK runs and says it cannot connect.)
  const auto verificacao = inst.Rodar({"/CHECK"});
  EXPECT_EQ(verificacao.erros.find(kOutraCopia), std::string::npos) << verificacao.erros;
  EXPECT_NE(verificacao.saida.find("Configuração.......: "), std::string::npos) << verificacao.saida;
  if (!embutido) {
    EXPECT_EQ(verificacao.codigo, 0) << verificacao.saida << verificacao.erros;
    EXPECT_NE(verificacao.saida.find("Resultado..........: OK"), std::string::npos) << verificacao.saida;
  }
  const auto instalacao = inst.Rodar({"/INSTALL", "/SILENT"});
  EXPECT_EQ(instalacao.codigo, 0) << instalacao.erros;
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Installed"), 1u);
  EXPECT_TRUE(servico->Vivo());

  // Killed as a crash would end it: the next start works at once.
  servico->Sinal(SIGKILL);
  EXPECT_EQ(servico->Esperar(), 128 + SIGKILL);
  EXPECT_EQ(inst.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = 501"), "2");
  inst.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
           "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (7, 'CM', 'CM', 15, 1002, 1, 1, CURRENT_DATE, "
           "CURRENT_DATE, 10, 0, 502, '1')");
  servico = inst.Iniciar({});
  // The report is done once the next flow starts.
  EXPECT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Enviando os Boletos para a API.") == 2; }))
      << servico->Erros();
  EXPECT_EQ(Contar(inst.Linhas(), "Service - Start"), 2u);
  EXPECT_FALSE(Ler(trava).empty()) << "the new copy wrote its id";
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0) << servico->Erros();
  EXPECT_EQ(inst.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = 502"), "2");

  // With no copy running, /ONCE runs.
  const auto uma_vez = inst.Rodar({"/ONCE"});
  EXPECT_EQ(uma_vez.codigo, 0) << uma_vez.erros;
  EXPECT_EQ(uma_vez.erros.find(kOutraCopia), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Topologias, UmaCopia,
                         ::testing::Values(Topologia::Embutido, Topologia::ServidorCaminhoSimples,
                                           Topologia::ServidorHostPorta),
                         [](const auto& info) { return NomeTopologia(info.param); });

// Each line of a log file: whole, CR LF at its end, and either one of ours
// (date, time, message), the one-blank line, or the other program's.
void ConferirLinhas(const fs::path& arquivo) {
  static const std::regex nossa(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d: .*)");
  static const std::regex externa(R"(externo \d+)");
  for (const std::string& linha : LinhasCrLf(Ler(arquivo), arquivo)) {
    EXPECT_TRUE(linha == " " || std::regex_match(linha, nossa) || std::regex_match(linha, externa))
        << arquivo << ": \"" << linha << "\"";
  }
}

enum class Vizinho { OutroPrograma, LogrotateCreate, LogrotateCopytruncate };

struct CasoLog {
  const char* nome;
  Vizinho vizinho;
};
void PrintTo(const CasoLog& caso, std::ostream* saida) { *saida << caso.nome; }

class LogCompartilhado : public ::testing::TestWithParam<CasoLog> {};

// The service logging a run every 0.12 s while /CHECK three times and
// /INSTALL start together, and another program appends to Log.txt or
// logrotate rotates it: the service stays alive, no piece is moved aside,
// every line is whole, and every start's lines are there once (copytruncate
// may lose what is written between its copy and its truncation, by its
// nature).
TEST_P(LogCompartilhado, EveryWriterLineOnceTheServiceAliveNoPiecesAside) {
  const CasoLog caso = GetParam();
  Simulador sim;
  AceitarTudo(sim);
  // Through the server, so that /CHECK connects beside the running service.
  Instalacao inst(kExe, "servico", Topologia::ServidorCaminhoSimples);
  inst.Configurar("7", true, "Sim");
  PrepararEmpresaComTrabalho(inst, "http", "127.0.0.1:" + std::to_string(sim.Porta()), "0.002", "2", "tok-5a6b7c");

  const auto rodadas = [&inst] {
    std::size_t n = 0;
    for (const auto& arquivo : fs::directory_iterator(inst.Dir()))
      if (arquivo.path().filename().string().starts_with("Log.txt"))
        n += Contar(Mensagens(arquivo.path()), "Buscando os Titulos Pagos.");
    return n;
  };
  auto servico = inst.Iniciar({});
  ASSERT_TRUE(Aguardar([&] { return rodadas() >= 2; })) << servico->Erros();

  const std::string log = inst.Log().string();
  constexpr int externas = 300;
  std::unique_ptr<Filho> vizinho;
  if (caso.vizinho == Vizinho::OutroPrograma) {
    vizinho = std::make_unique<Filho>([&log] {
      for (int i = 0; i < externas; ++i) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0) return 1;
        const std::string linha = "externo " + std::to_string(i) + "\r\n";
        if (::write(fd, linha.data(), linha.size()) != static_cast<ssize_t>(linha.size())) return 2;
        std::this_thread::sleep_for(2ms);
        ::close(fd);
        std::this_thread::sleep_for(5ms);
      }
      return 0;
    });
  } else {
    const fs::path conf = inst.Temp() / "logrotate.conf";
    std::ofstream(conf) << "\"" << log << "\" {\n  "
                        << (caso.vizinho == Vizinho::LogrotateCreate ? "create" : "copytruncate")
                        << "\n  rotate 100\n  missingok\n  nocompress\n  nodateext\n}\n";
    const std::string comando = "logrotate -f -s '" + (inst.Temp() / "logrotate.estado").string() + "' '" +
                                conf.string() + "' 2>>'" + (inst.Temp() / "logrotate.erros").string() + "'";
    vizinho = std::make_unique<Filho>([comando] {
      for (int i = 0; i < 12; ++i) {
        if (std::system(comando.c_str()) != 0) return 1;
        std::this_thread::sleep_for(250ms);
      }
      return 0;
    });
  }
  std::vector<std::unique_ptr<Processo>> outros;
  for (int i = 0; i < 3; ++i) outros.push_back(inst.Iniciar({"/CHECK"}));
  outros.push_back(inst.Iniciar({"/INSTALL", "/SILENT"}));
  for (auto& p : outros) EXPECT_EQ(p->Esperar(60s), 0) << p->Erros();
  EXPECT_EQ(vizinho->Esperar(60s), 0) << Ler(inst.Temp() / "logrotate.erros");
  EXPECT_TRUE(servico->Vivo()) << servico->Erros();
  // One more run after the neighbour is done, then the stop.
  const auto feitas = rodadas();
  ASSERT_TRUE(Aguardar([&] { return rodadas() >= feitas + 2; })) << servico->Erros();
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0) << servico->Erros();

  std::vector<fs::path> arquivos;
  for (const auto& e : fs::directory_iterator(inst.Dir())) {
    const std::string nome = e.path().filename().string();
    EXPECT_FALSE(nome.starts_with("Log-")) << "a piece moved aside: " << nome;
    if (nome.starts_with("Log.txt")) arquivos.push_back(e.path());
  }
  if (caso.vizinho != Vizinho::OutroPrograma) {
    EXPECT_GT(arquivos.size(), 5u) << "logrotate rotated the log";
  }
  std::vector<std::string> todas;
  for (const auto& arquivo : arquivos) {
    SCOPED_TRACE(arquivo.filename().string());
    ConferirLinhas(arquivo);
    const auto linhas = Mensagens(arquivo);
    todas.insert(todas.end(), linhas.begin(), linhas.end());
  }
  EXPECT_TRUE(Ler(inst.Log()).starts_with("\xEF\xBB\xBF"));
  EXPECT_EQ(Mensagens(inst.Log()).back(), "Service - Stop");
  if (caso.vizinho == Vizinho::LogrotateCopytruncate) {
    EXPECT_LE(Contar(todas, "lumiford_financeiro_007"), 5u);
    EXPECT_LE(Contar(todas, "Service - Start"), 1u);
  } else {
    // The service, three /CHECK and /INSTALL each wrote the banner once.
    EXPECT_EQ(Contar(todas, "lumiford_financeiro_007"), 5u);
    EXPECT_EQ(Contar(todas, "Service - Start"), 1u);
    EXPECT_EQ(Contar(todas, "Service - Installed"), 1u);
  }
  if (caso.vizinho == Vizinho::OutroPrograma) {
    for (int i = 0; i < externas; ++i) EXPECT_EQ(Contar(todas, "externo " + std::to_string(i)), 1u) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Vizinhos, LogCompartilhado,
                         ::testing::Values(CasoLog{"OutroPrograma", Vizinho::OutroPrograma},
                                           CasoLog{"LogrotateCreate", Vizinho::LogrotateCreate},
                                           CasoLog{"LogrotateCopytruncate", Vizinho::LogrotateCopytruncate}),
                         [](const auto& info) { return std::string(info.param.nome); });

// The boleto's content in its k-th version, as the ERP writes it again.
std::string VersaoBoleto(int k) {
  return "%PDF-1.4\n% versão " + std::to_string(k) + "\n" + std::string(1 << 21, static_cast<char>('a' + k % 26)) +
         "\n%%EOF\n";
}

// The ERP writing the boleto again and again (emptied, half written, a
// pause, the rest) while the service runs every 0.12 s: the service stays
// alive, and the one upload that is taken holds one whole version.
TEST(BoletoDoErp, WrittenAgainAndAgainWhileTheServiceSendsItNoMixedVersionIsEverSent) {
  Simulador sim;
  AceitarTudo(sim);
  // Through the server, as in production: the test reads the marks meanwhile.
  Instalacao inst(kExe, "servico", Topologia::ServidorCaminhoSimples);
  inst.Configurar("7");
  PrepararEmpresaComTrabalho(inst, "http", "127.0.0.1:" + std::to_string(sim.Porta()), "0.002", "2", "tok-5a6b7c");
  const std::string pdf = (inst.Dados() / "Boleto" / "12345678000195" / "98765432000110" / "CM 1001-1.pdf").string();
  Gravar(pdf, VersaoBoleto(0));

  constexpr int versoes = 60;
  Filho erp([&pdf] {
    for (int k = 1; k <= versoes; ++k) {
      const std::string dados = VersaoBoleto(k);
      const int fd = ::open(pdf.c_str(), O_WRONLY | O_TRUNC);
      if (fd < 0) return 1;
      const std::size_t metade = dados.size() / 2;
      if (::write(fd, dados.data(), metade) != static_cast<ssize_t>(metade)) return 2;
      std::this_thread::sleep_for(3ms);
      if (::write(fd, dados.data() + metade, dados.size() - metade) != static_cast<ssize_t>(dados.size() - metade))
        return 2;
      ::close(fd);
      std::this_thread::sleep_for(k % 3 == 0 ? 15ms : 2ms);
    }
    return 0;
  });
  auto servico = inst.Iniciar({});
  EXPECT_EQ(erp.Esperar(90s), 0);
  EXPECT_TRUE(Aguardar([&] { return inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER WHERE NUMERO = 1001") == "Enviado"; }, 60s))
      << servico->Erros();
  EXPECT_TRUE(servico->Vivo()) << servico->Erros();
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0) << servico->Erros();

  std::size_t boletos = 0;
  for (const auto& req : sim.Requisicoes()) {
    if (req.caminho != kBoleto) continue;
    ++boletos;
    const auto inicio = req.corpo.find("%PDF-1.4\n% versão ");
    ASSERT_NE(inicio, std::string::npos);
    const int k = std::stoi(req.corpo.substr(inicio + std::string("%PDF-1.4\n% versão ").size()));
    EXPECT_NE(req.corpo.find(VersaoBoleto(k)), std::string::npos) << "version " << k << " not whole";
  }
  EXPECT_EQ(boletos, 1u);
}

}  // namespace
}  // namespace lumiford::teste
