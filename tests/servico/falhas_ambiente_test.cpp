// The service's surroundings failing under it: the database connection ended
// in the middle of a run, the database file moved away or held by another
// process, and Log.txt turning unwritable. Each run that meets the fault ends
// with its error; the service goes on, and once the fault is over the work is
// done exactly once.
//
// The connection is ended for real, by deleting the service's attachment from
// MON$ATTACHMENTS. The embedded engine lets one process open the file, so the
// real executable has it done by a trigger through an attachment of its own
// (EXECUTE STATEMENT ... ON EXTERNAL) at the statement chosen; in process the
// test does it from its own attachment, while the service waits for a reply
// or while a trigger holds the statement chosen.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "api/ufuncoes_api.h"
#include "dm/agendador.h"
#include "tests/api/faturamento_apoio.h"
#include "tests/servico/apoio_processo.h"
#include "tests/support/simulador.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

const char* const Exe = LUMIFORD_EXE;

const std::string kRestabelecida = "Conexão com a Base de Dados restabelecida.";
const std::string kFalhaConexao = "Erro ao conectar na Base de Dados:";

// Ends every other attachment to the database.
const char* const kEncerrarOutras = "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION";

// A trigger that ends the attachment running the statement the n-th time the
// condition holds; the sequence QUEDA counts how often it held (sequences
// are outside transactions, so the count survives the fault).
void CriarQueda(const std::function<void(const std::string&)>& sql, const std::string& banco,
                const std::string& tabela, const std::string& evento, const std::string& condicao, int vez = 1) {
  sql("CREATE SEQUENCE QUEDA");
  sql("CREATE TRIGGER QUEDA_CONEXAO FOR " + tabela + " " + evento + " AS BEGIN IF (" + condicao +
      ") THEN IF (GEN_ID(QUEDA, 1) = " + std::to_string(vez) + ") THEN EXECUTE STATEMENT "
      "'DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = ' || CURRENT_CONNECTION ON EXTERNAL '" +
      banco + "' AS USER 'SYSDBA' PASSWORD 'bluefjord'; END");
}

// Lines the event-log stand-in wrote on standard error.
std::vector<std::string> ErrosRegistrados(const std::string& erros) {
  std::vector<std::string> linhas;
  std::size_t inicio = 0;
  while (inicio < erros.size()) {
    std::size_t fim = erros.find('\n', inicio);
    if (fim == std::string::npos) fim = erros.size();
    const std::string linha = erros.substr(inicio, fim - inicio);
    if (linha.rfind("lumiford_financeiro: ", 0) == 0) linhas.push_back(linha);
    inicio = fim + 1;
  }
  return linhas;
}

std::size_t ContarInicio(const std::vector<std::string>& linhas, const std::string& inicio) {
  std::size_t n = 0;
  for (const auto& l : linhas) n += l.rfind(inicio, 0) == 0;
  return n;
}

std::vector<RequisicaoGravada> Para(const Simulador& sim, const std::string& caminho) {
  std::vector<RequisicaoGravada> lista;
  for (auto& r : sim.Requisicoes())
    if (r.caminho == caminho) lista.push_back(r);
  return lista;
}

// Log.txt replaced by a directory of the same name, and put back. Each swap
// is one atomic exchange of names, so the service never finds the log
// missing (it would start a new one that the swap then overwrites).
class LogIndisponivel {
 public:
  explicit LogIndisponivel(fs::path log)
      : log_(std::move(log)), guardado_(log_.string() + ".guardado"), pasta_(log_.string() + ".pasta") {}
  void Tirar() {
    fs::create_directory(pasta_);
    Trocar(pasta_, log_);
    fs::rename(pasta_, guardado_);
  }
  void Devolver() {
    Trocar(guardado_, log_);
    fs::remove(guardado_);
  }
  const fs::path& Guardado() const { return guardado_; }

 private:
  static void Trocar(const fs::path& a, const fs::path& b) {
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
      throw std::system_error(errno, std::generic_category(), "renameat2 " + a.string());
  }
  fs::path log_, guardado_, pasta_;
};

// isql-fb attached to the database from a process of its own: while it is
// there, the embedded engine of any other process cannot open the file.
class BancoEmOutroProcesso {
 public:
  explicit BancoEmOutroProcesso(const std::string& banco) {
    int entrada[2], saida[2];
    if (::pipe2(entrada, O_CLOEXEC) != 0 || ::pipe2(saida, O_CLOEXEC) != 0)
      throw std::system_error(errno, std::generic_category(), "pipe2");
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, entrada[0], 0);
    posix_spawn_file_actions_adddup2(&acoes, saida[1], 1);
    posix_spawn_file_actions_adddup2(&acoes, saida[1], 2);
    std::vector<std::string> argumentos{"isql-fb", "-q", "-user", "sysdba", "-password", "bluefjord", banco};
    std::vector<char*> argv;
    for (auto& a : argumentos) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int erro = ::posix_spawnp(&pid_, "isql-fb", &acoes, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acoes);
    ::close(entrada[0]);
    ::close(saida[1]);
    entrada_ = entrada[1];
    saida_ = saida[0];
    if (erro != 0) {
      pid_ = -1;
      return;
    }
    // The marker comes back only from a statement that ran on the database.
    const std::string consulta = "SELECT 'PRON' || 'TO' FROM RDB$DATABASE;\n";
    (void)!::write(entrada_, consulta.data(), consulta.size());
    const auto limite = std::chrono::steady_clock::now() + 20s;
    char buffer[512];
    while (texto_.find("PRONTO") == std::string::npos && texto_.find("SQLSTATE") == std::string::npos &&
           std::chrono::steady_clock::now() < limite) {
      pollfd p{saida_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(saida_, buffer, sizeof buffer);
      if (n <= 0) break;
      texto_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ~BancoEmOutroProcesso() { Soltar(); }
  BancoEmOutroProcesso(const BancoEmOutroProcesso&) = delete;
  BancoEmOutroProcesso& operator=(const BancoEmOutroProcesso&) = delete;

  bool Conectado() const { return texto_.find("PRONTO") != std::string::npos; }
  const std::string& Saida() const { return texto_; }
  // End of input: isql detaches and ends.
  void Soltar() {
    if (entrada_ >= 0) ::close(entrada_);
    entrada_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (saida_ >= 0) ::close(saida_);
    saida_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int entrada_ = -1, saida_ = -1;
  std::string texto_;
};

// ---------------------------------------------------------------- the real executable

// Company 7 with the integration on and the web service on the simulator.
void CadastrarEmpresa(const Instalacao& inst, const Simulador& sim, const std::string& intervalo) {
  inst.Sql(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
      "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES "
      "(7, 'Empresa Teste', '12.345.678/0001-95', " + intervalo + ", '2', 'http', '127.0.0.1:" +
      std::to_string(sim.Porta()) + "', 'tok-5e1d', 3)");
}

// The service with Timer every 300 ms, in debug mode, and receivables of
// client 15 paid in full and not reported yet.
class ServicoReal : public ::testing::Test {
 protected:
  void Preparar(const std::vector<int>& faturas_pagas) {
    inst.Configurar("7", true, "Sim");
    CadastrarEmpresa(inst, sim, "0.005");
    int numero = 1000;
    for (int id : faturas_pagas) {
      const std::string n = std::to_string(++numero);
      inst.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
               "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (7, 'CM', 'CM', 15, " + n +
               ", 1, 1, CURRENT_DATE, CURRENT_DATE + 10, 150.50, 0, " + std::to_string(id) + ", '1')");
      inst.Sql("INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, SEQ, "
               "DATA_PAGAMENTO, VALOR_PAGO) VALUES (7, 'CM', 'CM', 15, " + n + ", 1, 1, 1, CURRENT_DATE, 150.50)");
    }
  }

  static Resposta Aceitas(const std::vector<int>& ids) {
    std::string sucesso;
    for (int id : ids)
      sucesso += (sucesso.empty() ? "" : ", ") + std::string(R"({"message": "Registro recebido", "id_fatura": )") +
                 std::to_string(id) + "}";
    return Resposta::Json(R"({"error": false, "messageSuccess": [)" + sucesso + R"(], "messageError": []})");
  }

  // FATURA_ENVIADA by invoice.
  std::map<std::string, std::string> Marcas() const {
    std::map<std::string, std::string> marcas;
    for (const auto& l : inst.Consultar("SELECT ID_FATURA, FATURA_ENVIADA FROM MOV_CONTAS_RECEBER"))
      marcas[l[0]] = l[1];
    return marcas;
  }

  Simulador sim;
  Instalacao inst{Exe};
};

// The connection ends while the paid-invoice report marks its second invoice:
// that run ends with its error on the event log, the next run reconnects and
// reports only the invoice left unmarked.
TEST_F(ServicoReal, ConnectionEndedWhileMarkingReconnectsAndReportsOnlyWhatIsLeft) {
  Preparar({101, 102});
  CriarQueda([&](const std::string& s) { inst.Sql(s); }, inst.Bancos().dados, "MOV_CONTAS_RECEBER",
             "BEFORE UPDATE", "NEW.FATURA_ENVIADA = '2' AND NEW.ID_FATURA = 102");
  sim.Responder(kFaturado, Aceitas({101, 102}));
  sim.Responder(kFaturado, Aceitas({102}));

  auto servico = inst.Iniciar({});
  const std::string retorno102 = "Retorno: Registro recebido - Id: 102";
  long segunda = -1;
  ASSERT_TRUE(Aguardar([&] {
    const auto linhas = inst.Linhas();
    segunda = Posicao(linhas, retorno102, Posicao(linhas, retorno102) + 1);
    return Posicao(linhas, retorno102) >= 0 && segunda >= 0;
  }, 60s)) << servico->Erros() << ::testing::PrintToString(inst.Linhas());
  // A later run finds nothing left to report.
  ASSERT_TRUE(Aguardar([&] { return Posicao(inst.Linhas(), "Buscando os Titulos Pagos.", segunda) >= 0; }, 30s));
  EXPECT_TRUE(servico->Vivo());
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0);

  // One run ended with its error: the boleto upload met the lost connection.
  const auto erros = ErrosRegistrados(servico->Erros());
  ASSERT_EQ(erros.size(), 1u) << servico->Erros();
  EXPECT_NE(erros[0].find("shutdown"), std::string::npos) << erros[0];

  const auto linhas = inst.Linhas();
  const long erro_resposta = Posicao(linhas, "Erro ao ler a resposta da API.");
  const long volta = Posicao(linhas, kRestabelecida);
  ASSERT_GE(erro_resposta, 0);
  EXPECT_LT(erro_resposta, volta);
  EXPECT_LT(volta, segunda);
  EXPECT_EQ(Contar(linhas, kRestabelecida), 1u);
  EXPECT_EQ(ContarInicio(linhas, kFalhaConexao), 0u);
  EXPECT_EQ(Contar(linhas, "Erro ao ler a resposta da API."), 1u);
  EXPECT_EQ(Contar(linhas, "Retorno: Registro recebido - Id: 101"), 1u);

  const auto posts = Para(sim, kFaturado);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_NE(posts[0].corpo.find("\"id_fatura\": 101"), std::string::npos) << posts[0].corpo;
  EXPECT_NE(posts[0].corpo.find("\"id_fatura\": 102"), std::string::npos) << posts[0].corpo;
  EXPECT_EQ(posts[1].corpo.find("\"id_fatura\": 101"), std::string::npos) << posts[1].corpo;
  EXPECT_NE(posts[1].corpo.find("\"id_fatura\": 102"), std::string::npos) << posts[1].corpo;

  EXPECT_EQ(Marcas(), (std::map<std::string, std::string>{{"101", "2"}, {"102", "2"}}));
  // The fault fired once; the second mark of 102 went through the trigger too.
  EXPECT_EQ(inst.Valor("SELECT GEN_ID(QUEDA, 0) FROM RDB$DATABASE"), "2");
}

// Log.txt becomes a directory while the report waits for its reply: that run
// and every run after it end with the writer's error on the event log, nothing
// is marked and nothing more is sent; the service keeps running, and once the
// file is back it writes after the earlier lines and reports the invoices.
TEST_F(ServicoReal, LogUnwritableEndsEachRunUntilItIsBack) {
  Preparar({101, 102});
  LogIndisponivel log(inst.Log());
  std::atomic<bool> tirado{false};
  sim.AoReceber([&](const RequisicaoGravada& req) {
    if (req.caminho == kFaturado && !tirado.exchange(true)) log.Tirar();
  });
  sim.Responder(kFaturado, Aceitas({101, 102}));

  auto servico = inst.Iniciar({});
  ASSERT_TRUE(Aguardar([&] { return ErrosRegistrados(servico->Erros()).size() >= 4; }, 60s))
      << servico->Erros() << ::testing::PrintToString(inst.Linhas());
  EXPECT_TRUE(servico->Vivo());
  EXPECT_TRUE(fs::is_directory(inst.Log()));
  // The runs meet the fault before they select anything.
  EXPECT_EQ(Para(sim, kFaturado).size(), 1u);

  const std::string antes = Ler(log.Guardado());
  log.Devolver();
  ASSERT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Retorno: Registro recebido - Id: 102") >= 1; }, 60s))
      << servico->Erros();
  servico->Sinal(SIGTERM);
  EXPECT_EQ(servico->Esperar(), 0);

  for (const auto& erro : ErrosRegistrados(servico->Erros()))
    EXPECT_NE(erro.find("Log.txt"), std::string::npos) << erro;
  const std::string depois = Ler(inst.Log());
  EXPECT_EQ(depois.substr(0, antes.size()), antes);
  const auto linhas = inst.Linhas();
  // The reply handled while the log was away left no line; the one handled
  // after it is back did.
  EXPECT_EQ(Contar(linhas, "Erro ao ler a resposta da API."), 0u);
  EXPECT_EQ(Contar(linhas, "Retorno: Registro recebido - Id: 101"), 1u);
  EXPECT_EQ(Contar(linhas, "Service - Stop"), 1u);

  const auto posts = Para(sim, kFaturado);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[1].corpo, posts[0].corpo);
  EXPECT_EQ(Marcas(), (std::map<std::string, std::string>{{"101", "2"}, {"102", "2"}}));
}

// The billing import run with ONCE while Log.txt turns into a directory during
// its request: the run fails at its next log line with what it wrote whole
// (the clients registered, or nothing at all); the run after the log is back
// completes it, no client twice, every invoice once under one header.
TEST(ImportacaoLogIndisponivel, LeavesNothingHalfWrittenAndTheNextRunCompletesIt) {
  struct Caso {
    const char* debug;
    std::size_t clientes_na_falha;  // in debug mode the run fails before registering any
  };
  const Caso casos[] = {{"Nao", 3}, {"Sim", 0}};
  for (const auto& caso : casos) {
    SCOPED_TRACE(std::string("Debug=") + caso.debug);
    Simulador sim;
    Instalacao inst(Exe);
    inst.Configurar("7", true, caso.debug);
    CadastrarEmpresa(inst, sim, "1");
    inst.Sql("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) "
             "VALUES (7, 1, 'BUSCAR_FATURAMENTO_API')");
    std::vector<Item> itens;
    for (int i = 1; i <= 3; ++i) itens.push_back(ItemCliente(7000 + i, CnpjTeste(i)));
    sim.Responder(kCaminhoFaturamento, Resposta::Json(RespostaFaturamento(itens, false)));
    {
      std::ofstream anterior(inst.Log(), std::ios::binary);
      anterior << "\xEF\xBB\xBF" "01/12/2026 08:00:00: Service - Start\r\n";
    }
    LogIndisponivel log(inst.Log());
    std::atomic<bool> tirado{false};
    sim.AoReceber([&](const RequisicaoGravada& req) {
      if (req.caminho == kCaminhoFaturamento && !tirado.exchange(true)) log.Tirar();
    });

    const auto primeira = inst.Rodar({"/ONCE"}, 60s);
    EXPECT_EQ(primeira.codigo, 1);
    const auto erros = ErrosRegistrados(primeira.erros);
    ASSERT_EQ(erros.size(), 1u) << primeira.erros;
    EXPECT_NE(erros[0].find("Log.txt"), std::string::npos) << erros[0];
    const Tabela pessoas = inst.Consultar("SELECT CNPJ_CPF, CADASTRO FROM CAD_PESSOA ORDER BY CNPJ_CPF");
    ASSERT_EQ(pessoas.size(), caso.clientes_na_falha);
    for (std::size_t i = 0; i < pessoas.size(); ++i)
      EXPECT_EQ(pessoas[i][0], CnpjTesteFormatado(static_cast<int>(i) + 1));
    EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_CONTRATO_FATURAMENTO"), "0");
    EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_IT_CONTRATO_FATURAMENTO"), "0");
    EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "1");

    const std::string antes = Ler(log.Guardado());
    log.Devolver();
    const auto segunda = inst.Rodar({"/ONCE"}, 60s);
    EXPECT_EQ(segunda.codigo, 0) << segunda.erros;
    EXPECT_TRUE(ErrosRegistrados(segunda.erros).empty()) << segunda.erros;

    // The clients of the failed run are found again, not registered again.
    const Tabela pessoas_final = inst.Consultar("SELECT CNPJ_CPF, CADASTRO FROM CAD_PESSOA ORDER BY CNPJ_CPF");
    ASSERT_EQ(pessoas_final.size(), 3u);
    for (std::size_t i = 0; i < pessoas.size(); ++i) EXPECT_EQ(pessoas_final[i], pessoas[i]);
    EXPECT_EQ(inst.Consultar("SELECT EMPRESA, NUMERO, VENDEDOR FROM MOV_CONTRATO_FATURAMENTO"),
              (Tabela{{"7", "1", "3"}}));
    Tabela esperado;
    for (int i = 1; i <= 3; ++i)
      esperado.push_back({"1", std::to_string(i), std::to_string(7000 + i), CnpjTesteFormatado(i)});
    EXPECT_EQ(inst.Consultar("SELECT I.NUMERO, I.SEQ, I.ID_FATURA, P.CNPJ_CPF FROM MOV_IT_CONTRATO_FATURAMENTO I "
                             "JOIN CAD_PESSOA P ON P.CADASTRO = I.CLIENTE ORDER BY I.SEQ"),
              esperado);
    EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "0");

    const std::string depois = Ler(inst.Log());
    EXPECT_EQ(depois.substr(0, antes.size()), antes);
    // The header lookup of the failed run could not be logged; the next one was.
    EXPECT_EQ(Contar(inst.Linhas(), "Faturamento: 0"), 1u);
    EXPECT_EQ(Para(sim, kCaminhoFaturamento).size(), 2u);
  }
}

// ---------------------------------------------------------------- in process

// The billing import through its timer handler in this process, so that the
// test can end the handler's connection from a second attachment of its own.
class ImportacaoSemBanco : public AmbienteFaturamento {
 protected:
  void TearDown() override {
    FluxosRequisicao().clear();
    AmbienteFaturamento::TearDown();
  }

  // Company 7 with a pending request and a billing of five new clients.
  void Montar() {
    Preparar();
    DefinirGerador("CAD_PESSOA", 100);
    Requisitar(7, 1);
    std::vector<Item> itens;
    for (int i = 1; i <= kFaturas; ++i) itens.push_back(ItemCliente(5000 + i, CnpjTeste(i)));
    Responder(RespostaFaturamento(itens));
    FluxosRequisicao() = {BuscarFaturamento};
    const DataHora agora = Dia(std::chrono::year{2025} / 3 / 10);
    DefinirRelogio([agora] { return agora; });
  }

  void Criar() {
    dm = std::make_unique<Tdm>();
    ASSERT_FALSE(ErroConexao) << MensagemErroConexao;
  }

  // One run of Timer_Requisicao; the error that left it, "" when none.
  std::string Rodada() {
    try {
      dm->Timer_RequisicaoTimer();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  void EncerrarConexaoDoServico() const {
    auto conexao = AbrirConexao(amb->Bancos().dados);
    Consulta q(*conexao);
    q.SetSQL(kEncerrarOutras);
    q.ExecSQL();
  }

  // Ends the service's connection once, while it waits for the reply.
  void EncerrarNaResposta() {
    auto feito = std::make_shared<std::atomic<bool>>(false);
    sim->AoReceber([this, feito](const RequisicaoGravada&) {
      if (!feito->exchange(true)) EncerrarConexaoDoServico();
    });
  }

  std::size_t LinhasComeco(const std::string& inicio) const { return ContarInicio(Mensagens(), inicio); }

  // Every invoice once, in order, each with its client; one header; the
  // request gone; no client twice.
  void ConferirImportacaoCompleta() const {
    const Tabela pessoas = amb->Consultar(
        "SELECT CNPJ_CPF, COUNT(*), MIN(CADASTRO) FROM CAD_PESSOA GROUP BY CNPJ_CPF ORDER BY CNPJ_CPF");
    ASSERT_EQ(pessoas.size(), static_cast<std::size_t>(kFaturas));
    std::map<std::string, std::string> codigo;
    for (const auto& p : pessoas) {
      EXPECT_EQ(p[1], "1") << p[0];
      codigo[p[0]] = p[2];
    }
    Tabela esperado;
    for (int i = 1; i <= kFaturas; ++i)
      esperado.push_back({"7", "1", std::to_string(i), codigo[CnpjTesteFormatado(i)], "5.5000", "150.7500",
                          std::to_string(5000 + i)});
    EXPECT_EQ(Itens(), esperado);
    EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "1", "12", "Fevereiro", "2025"}}));
    EXPECT_EQ(Requisicoes(), Tabela{});
  }

  static constexpr int kFaturas = 5;
};

// Wherever the connection ends, the run ends with the database's error and
// keeps what it committed; the next run reconnects, says so once and
// completes the import without repeating any of it.
TEST_F(ImportacaoSemBanco, ConnectionEndedAnywhereInTheRunIsReestablishedAndTheImportCompletesOnce) {
  // The n-th insert waits in a loop until the test has ended its connection.
  // (The trigger of the executable's test, ending its own attachment, now
  // and then brings the embedded engine down when this process attaches
  // again right after; ended from outside, the engine stays up.)
  std::jthread encerrador;
  const auto espera = [&](const std::string& tabela, int vez) {
    amb->Executar("CREATE SEQUENCE QUEDA");
    amb->Executar("CREATE TRIGGER QUEDA_ESPERA FOR " + tabela +
                  " BEFORE INSERT AS DECLARE VARIABLE I INTEGER = 0; BEGIN IF (GEN_ID(QUEDA, 1) = " +
                  std::to_string(vez) + ") THEN WHILE (I < 2000000000) DO I = I + 1; END");
    encerrador = std::jthread([this, vez] {
      const auto limite = std::chrono::steady_clock::now() + 60s;
      while (std::stoi(amb->Valor("SELECT GEN_ID(QUEDA, 0) FROM RDB$DATABASE")) < vez &&
             std::chrono::steady_clock::now() < limite)
        std::this_thread::sleep_for(5ms);
      EncerrarConexaoDoServico();
    });
  };
  struct Caso {
    const char* nome;
    std::function<void()> preparar;
    std::size_t pessoas, cabecalhos, itens;  // what the failed run left
  };
  const Caso casos[] = {
      {"waiting for the reply", [&] { EncerrarNaResposta(); }, 0, 0, 0},
      {"registering the third client", [&] { espera("CAD_PESSOA", 3); }, 2, 0, 0},
      {"writing the fourth item", [&] { espera("MOV_IT_CONTRATO_FATURAMENTO", 4); }, kFaturas, 1, 3},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Montar();
    caso.preparar();
    Criar();

    const std::string erro = Rodada();
    if (encerrador.joinable()) encerrador.join();
    EXPECT_NE(erro.find("shutdown"), std::string::npos) << erro;
    EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
    EXPECT_EQ(Pessoas().size(), caso.pessoas);
    EXPECT_EQ(Cabecalhos().size(), caso.cabecalhos);
    EXPECT_EQ(Itens().size(), caso.itens);
    EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));
    EXPECT_EQ(LinhasComeco(kRestabelecida), 0u);

    EXPECT_EQ(Rodada(), "");
    EXPECT_EQ(LinhasComeco(kRestabelecida), 1u);
    EXPECT_EQ(LinhasComeco(kFalhaConexao), 0u);
    ConferirImportacaoCompleta();
    EXPECT_EQ(Para(*sim, kCaminhoFaturamento).size(), 2u);
  }
}

// After the connection ended, the database file is moved away, then put back
// but held by another process: each run fails to reconnect and does no work,
// with one failure line for each cause however many runs; once the file is
// free the next run reconnects and imports.
TEST_F(ImportacaoSemBanco, DatabaseAwayFailsEveryRunWithOneLinePerCauseUntilItIsBack) {
  Montar();
  EncerrarNaResposta();
  Criar();
  EXPECT_NE(Rodada().find("shutdown"), std::string::npos);

  const std::string dados = amb->Bancos().dados;
  const std::string fora = dados + ".fora";
  // The first line of the database's text after each failure line, whether
  // a later write has turned its line breaks into CR LF or not yet.
  const auto falhas = [&] {
    std::vector<std::string> textos;
    const std::string log = Ler(fs::path(amb->DiretorioExe()) / "Log.txt");
    for (auto i = log.find(kFalhaConexao); i != std::string::npos; i = log.find(kFalhaConexao, i + 1)) {
      const auto inicio = log.find_first_not_of("\r\n", i + kFalhaConexao.size());
      textos.push_back(log.substr(inicio, log.find_first_of("\r\n", inicio) - inicio));
    }
    return textos;
  };
  const auto rodadas_sem_trabalho = [&](int n) {
    for (int i = 0; i < n; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(Rodada(), "");
      EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
    }
    EXPECT_EQ(LinhasComeco(kRestabelecida), 0u);
    EXPECT_EQ(Para(*sim, kCaminhoFaturamento).size(), 1u);
  };

  fs::rename(dados, fora);
  rodadas_sem_trabalho(3);
  ASSERT_EQ(falhas().size(), 1u);
  EXPECT_NE(falhas()[0].find("DADOS.FDB"), std::string::npos) << falhas()[0];

  // Back in place, but another process has it: the embedded engine of this
  // one cannot open it, and says why.
  fs::rename(fora, dados);
  {
    BancoEmOutroProcesso outro(dados);
    ASSERT_TRUE(outro.Conectado()) << outro.Saida();
    rodadas_sem_trabalho(3);
    ASSERT_EQ(falhas().size(), 2u);
    EXPECT_NE(falhas()[1], falhas()[0]);
  }

  EXPECT_EQ(Rodada(), "");
  const auto mensagens = Mensagens();
  EXPECT_EQ(ContarInicio(mensagens, kRestabelecida), 1u);
  EXPECT_EQ(ContarInicio(mensagens, kFalhaConexao), 2u);
  ConferirImportacaoCompleta();
  EXPECT_EQ(Para(*sim, kCaminhoFaturamento).size(), 2u);
}

// The database away while the log cannot be written either: those runs end
// with the writer's error; once the log is back, the next failing run writes
// the failure line it could not write before, and the database coming back is
// reported as usual.
TEST_F(ImportacaoSemBanco, DatabaseAwayWhileTheLogIsUnwritableIsLoggedOnceTheLogIsBack) {
  Montar();
  EncerrarNaResposta();
  Criar();
  EXPECT_NE(Rodada().find("shutdown"), std::string::npos);

  const fs::path dados = amb->Bancos().dados;
  const fs::path fora = dados.string() + ".fora";
  fs::rename(dados, fora);
  LogIndisponivel log(fs::path(amb->DiretorioExe()) / "Log.txt");
  log.Tirar();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(Rodada().find("Log.txt"), std::string::npos);
    EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
  }
  log.Devolver();
  EXPECT_EQ(LinhasComeco(kFalhaConexao), 0u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Rodada(), "");
  EXPECT_EQ(LinhasComeco(kFalhaConexao), 1u);

  fs::rename(fora, dados);
  EXPECT_EQ(Rodada(), "");
  EXPECT_EQ(LinhasComeco(kRestabelecida), 1u);
  ConferirImportacaoCompleta();
}

}  // namespace
