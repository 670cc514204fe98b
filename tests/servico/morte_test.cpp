// The real executable killed with SIGKILL at chosen points of its four flows,
// then run again with ONCE to the end: every paid invoice reported until it
// is marked, every file the supplier got either marked or sent again (and
// none marked that the supplier never got), every invoice of the billing
// imported exactly once, every client registered once.
//
// The kill points are placed without timing: either the simulator kills the
// process when it has read a request and before it answers, or a trigger
// stalls the process inside a chosen statement after committing a marker row
// in an autonomous transaction; the marker shows in DADOS.FDB at once, and the
// test kills the process when it sees it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dm/banco.h"
#include "tests/servico/apoio_processo.h"
#include "tests/support/banco_teste.h"
#include "tests/support/simulador.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

const char* const Exe = LUMIFORD_EXE;

constexpr int kMorto = 128 + SIGKILL;

// The work laid out for company 7: three paid invoices, three contract
// receivables each with its boleto PDF and its authorised service invoice
// XML, and a billing of five invoices, one of a known client and four of
// clients the ERP does not know yet.
const std::vector<int> kFaturasPagas = {501, 502, 503};
const std::vector<std::string> kBoletos = {"CM 1001-1.pdf", "CM 1002-1.pdf", "CM 1003-1.pdf"};
const std::vector<std::string> kNotas = {"NFSe_451.xml", "NFSe_452.xml", "NFSe_453.xml"};
constexpr const char* kCnpjConhecido = "98.765.432/0001-10";
const std::vector<std::pair<int, std::string>> kFaturamentoItens = {
    {9001, kCnpjConhecido},        {9002, "11.222.333/0002-44"}, {9003, "11.222.333/0003-44"},
    {9004, "11.222.333/0004-44"}, {9005, "11.222.333/0005-44"},
};
constexpr int kGeradorPessoa = 100;
constexpr int kGeradorFaturamento = 40;

// One connection for a batch of statements or queries: far fewer attachments
// than a connection per statement. Never alive while the executable runs.
class Sessao {
 public:
  explicit Sessao(const Instalacao& inst) : conexao_(AbrirConexao(inst.Bancos().dados)), q_(*conexao_) {}
  void Sql(const std::string& sql) {
    q_.Close();
    q_.SetSQL(sql);
    q_.ExecSQL();
  }
  std::vector<std::vector<std::string>> Consultar(const std::string& sql) {
    q_.Close();
    q_.SetSQL(sql);
    q_.Open();
    std::vector<std::vector<std::string>> linhas;
    for (; !q_.Eof(); q_.Next()) {
      auto& linha = linhas.emplace_back();
      for (std::size_t i = 0; i < q_.FieldCount(); ++i) linha.push_back(q_.FieldByName(q_.FieldName(i)).AsString());
    }
    return linhas;
  }
  std::string Valor(const std::string& sql) {
    const auto linhas = Consultar(sql);
    return linhas.empty() || linhas[0].empty() ? std::string() : linhas[0][0];
  }

 private:
  std::unique_ptr<Conexao> conexao_;
  Consulta q_;
};

std::string RespostaFaturamento() {
  std::string dados;
  for (const auto& [id, cnpj] : kFaturamentoItens) {
    if (!dados.empty()) dados += ",";
    dados += R"({"id_fatura":)" + std::to_string(id) +
             R"(,"ano":2025,"mes":4,"aliquota":5.5,"valorCobranca":150.75,"observacao":"Mensalidade",)"
             R"("nome":"Cliente )" + std::to_string(id) + R"(","cnpj":")" + cnpj +
             R"(","ie":"ISENTO","endereco":"Rua Augusta","numero":"1500","bairro":"Centro",)"
             R"("complemento":"sala 12","cep":"01310-100","codigoIbge":3550308,)"
             R"("contatos":[{"tipo":"email","contato":"financeiro@cliente.example"}]})";
  }
  return R"({"error":false,"data":[)" + dados + "]}";
}

void Preparar(Instalacao& inst, Sessao& banco, const Simulador& sim, int requisicoes) {
  banco.Sql(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
      "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES "
      "(7, 'Empresa Teste', '12.345.678/0001-95', 10, '2', 'http', '127.0.0.1:" + std::to_string(sim.Porta()) +
      "', 'tok-3e5b71', 3)");
  banco.Sql(std::string("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, TIPO_CLIENTE) VALUES (15, 'Padaria', '") +
           kCnpjConhecido + "', '2')");
  banco.Sql("SET GENERATOR CAD_PESSOA TO " + std::to_string(kGeradorPessoa));
  banco.Sql("SET GENERATOR MOV_CONTRATO_FATURAMENTO_007 TO " + std::to_string(kGeradorFaturamento));

  // Paid long ago: outside the uploads' window.
  for (std::size_t i = 0; i < kFaturasPagas.size(); ++i) {
    const std::string numero = std::to_string(2001 + i), id = std::to_string(kFaturasPagas[i]);
    banco.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
             "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (7, 'CM', 'CM', 15, " + numero +
             ", 1, 1, '2020-01-10', '2020-01-20', 100, 0, " + id + ", '1')");
    banco.Sql("INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, SEQ, "
             "DATA_PAGAMENTO, VALOR_PAGO) VALUES (7, 'CM', 'CM', 15, " + numero + ", 1, 1, 1, '2020-01-15', 100)");
  }
  // Open receivables of this month, each with its boleto and its service invoice.
  for (int i = 0; i < 3; ++i) {
    const std::string numero = std::to_string(1001 + i), nota = std::to_string(451 + i);
    banco.Sql("INSERT INTO MOV_CONTRATO_MANUTENCAO (EMPRESA, NUMERO, CLIENTE, ANO_REFERENCIA, MES_REFERENCIA, VALOR) "
             "VALUES (7, " + numero + ", 15, 2025, 'Maio', 150.50)");
    banco.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
             "VENCIMENTO, VALOR, SALDO, SERIE_NOTA_SERVICO, NUMERO_NOTA_SERVICO) VALUES (7, 'CM', 'CM', 15, " +
             numero + ", 1, 1, CURRENT_DATE, CURRENT_DATE + 10, 150.50, 150.50, 1, " + nota + ")");
    banco.Sql("INSERT INTO MOV_NOTA_FISCAL_VENDA (EMPRESA, SERIE, NUMERO, CLIENTE, EMISSAO, VALOR_TOTAL, STATUS, "
             "IDENTIFICACAO_ARQUIVO_XML_NFE) VALUES (7, 1, " + nota + ", 15, CURRENT_DATE, 150.50, "
             "'NFSE Autorizada', '" + kNotas[static_cast<std::size_t>(i)] + "')");
    Gravar(inst.Dados() / "Boleto" / "12345678000195" / "98765432000110" / kBoletos[static_cast<std::size_t>(i)],
           "%PDF-1.4\n% boleto " + numero + "\n%%EOF\n");
    Gravar(inst.Dados() / "NFSe" / "Empresa_007" / kNotas[static_cast<std::size_t>(i)],
           "<?xml version=\"1.0\"?>\n<CompNfse><Numero>" + nota + "</Numero></CompNfse>\n");
  }
  for (int n = 1; n <= requisicoes; ++n)
    banco.Sql("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (7, " +
             std::to_string(n) + ", 'BUSCAR_FATURAMENTO_API')");
}

// A supplier that accepts everything.
void AceitarTudo(Simulador& sim) {
  std::string sucessos;
  for (int id : kFaturasPagas)
    sucessos += std::string(sucessos.empty() ? "" : ", ") + R"({"message": "Registro recebido", "id_fatura": )" +
                std::to_string(id) + "}";
  sim.Responder(kFaturado, Resposta::Json(R"({"error": false, "messageSuccess": [)" + sucessos +
                                          R"(], "messageError": []})"));
  sim.Responder(kBoleto, Resposta::Json(R"({"sucess": true, "message": "Boleto recebido"})"));
  sim.Responder(kNotaFiscal, Resposta::Json(R"({"sucess": true, "message": "XML recebido"})"));
  sim.Responder(kFaturamento, Resposta::Json(RespostaFaturamento()));
}

// ------------------------------------------------------------ kill points

// The row a stalling trigger commits on its own before it stalls. The
// trigger's text holds it only in pieces, so the whole word in the database
// file means the trigger was entered.
constexpr const char* kMarca = "MORTE_AQUI";

// A trigger that stalls the process inside the statement that fires it for
// the `vez`-th time with the condition true (counted per connection).
std::string Parada(const std::string& tabela, const std::string& evento, const std::string& condicao, int vez = 1) {
  return "CREATE TRIGGER MORTE_PARADA FOR " + tabela + " " + evento +
         " AS DECLARE VARIABLE N INTEGER; DECLARE VARIABLE I INTEGER = 0; "
         "BEGIN IF (" + condicao + ") THEN BEGIN "
         "N = COALESCE(CAST(RDB$GET_CONTEXT('USER_SESSION', 'MORTE_N') AS INTEGER), 0) + 1; "
         "I = RDB$SET_CONTEXT('USER_SESSION', 'MORTE_N', N); I = 0; "
         "IF (N = " + std::to_string(vez) + ") THEN BEGIN "
         "IN AUTONOMOUS TRANSACTION DO INSERT INTO MORTE_MARCA (T) VALUES ('MORTE' || '_' || 'AQUI'); "
         "WHILE (I < 2000000000) DO I = I + 1; END END END";
}

bool ArquivoContem(const fs::path& caminho, const std::string& trecho) {
  return Ler(caminho).find(trecho) != std::string::npos;
}

// Kills the process from the simulator's thread once the supplier has read
// the n-th request to a path, before it answers, and waits until the process
// is gone, so the reply can never be read.
class MorteNaRequisicao {
 public:
  MorteNaRequisicao(Simulador& sim, std::string caminho, int vez) : estado_(std::make_shared<Estado>()) {
    estado_->caminho = std::move(caminho);
    estado_->vez = vez;
    sim.AoReceber([estado = estado_](const RequisicaoGravada& req) { estado->Receber(req); });
  }
  ~MorteNaRequisicao() { Soltar(); }
  MorteNaRequisicao(const MorteNaRequisicao&) = delete;
  MorteNaRequisicao& operator=(const MorteNaRequisicao&) = delete;

  void Vigiar(std::shared_ptr<Processo> processo) {
    std::lock_guard trava(estado_->trava);
    estado_->processo = std::move(processo);
    estado_->mudou.notify_all();
  }
  // True once killed there; false when the process ended by itself first,
  // or the limit passed.
  bool Esperar(std::chrono::milliseconds limite) {
    const auto fim = std::chrono::steady_clock::now() + limite;
    std::unique_lock trava(estado_->trava);
    while (!estado_->morto && std::chrono::steady_clock::now() < fim) {
      if (estado_->processo && !estado_->processo->Vivo()) return false;
      estado_->mudou.wait_for(trava, 50ms);
    }
    return estado_->morto;
  }
  // Later requests (the rerun's) are only recorded.
  void Soltar() {
    std::lock_guard trava(estado_->trava);
    estado_->processo.reset();
    estado_->vez = 0;
  }

 private:
  struct Estado {
    std::mutex trava;
    std::condition_variable mudou;
    std::shared_ptr<Processo> processo;
    std::string caminho;
    int vez = 0, vistas = 0;
    bool morto = false;

    void Receber(const RequisicaoGravada& req) {
      std::unique_lock lock(trava);
      if (req.caminho != caminho || vez == 0 || ++vistas != vez) return;
      // The process object is handed over right after the spawn.
      mudou.wait_for(lock, 10s, [&] { return processo != nullptr; });
      if (!processo) return;
      processo->Sinal(SIGKILL);
      const auto fim = std::chrono::steady_clock::now() + 10s;
      while (processo->Vivo() && std::chrono::steady_clock::now() < fim) std::this_thread::sleep_for(1ms);
      morto = !processo->Vivo();
      mudou.notify_all();
    }
  };
  std::shared_ptr<Estado> estado_;
};

// What the four flows have left in the database; -1 where a case does not
// say (in service mode the order of the two timers is not fixed).
struct Estado {
  int pagas = -1, boletos = -1, notas = -1;
  int pessoas_novas = -1, itens = -1, cabecalhos = -1, requisicoes = -1;
};

struct PontoDeMorte {
  const char* nome;
  const char* fluxo;
  // Either the simulator kills at the n-th request to a path...
  std::string caminho;
  int vez = 0;
  // ...or a trigger stalls the process inside a statement.
  std::string gatilho;
  Estado apos_morte;
  bool servico = false;  // killed as the running service rather than a ONCE run
  int requisicoes = 1;   // pending billing requests laid out
};

void PrintTo(const PontoDeMorte& p, std::ostream* saida) { *saida << p.fluxo << ": " << p.nome; }

const std::string kEnviadoMarcado =
    "NEW.STATUS_ENVIO_API = 'Enviado' AND OLD.STATUS_ENVIO_API IS DISTINCT FROM 'Enviado'";
const std::string kFaturaMarcada = "NEW.FATURA_ENVIADA = '2' AND OLD.FATURA_ENVIADA IS DISTINCT FROM '2'";

// After the kill: paid invoices marked, boletos marked, service invoices
// marked, new clients, billing items, billing headers, billing requests.
const PontoDeMorte kPontos[] = {
    {"RelatorioRecebidoSemResposta", "faturas pagas", kFaturado, 1, "", {0, 0, 0, 0, 0, 0, 1}},
    {"DentroDaMarcaDaSegundaFatura", "faturas pagas", "", 0,
     Parada("MOV_CONTAS_RECEBER", "BEFORE UPDATE", kFaturaMarcada, 2), {1, 0, 0, 0, 0, 0, 1}},
    {"PrimeiroBoletoRecebidoSemResposta", "boletos", kBoleto, 1, "", {3, 0, 0, 0, 0, 0, 1}},
    {"DentroDaMarcaDoSegundoBoleto", "boletos", "", 0,
     Parada("MOV_CONTAS_RECEBER", "BEFORE UPDATE", kEnviadoMarcado, 2), {3, 1, 0, -1, -1, -1, -1}, true},
    {"PrimeiraNotaRecebidaSemResposta", "notas de serviço", kNotaFiscal, 1, "", {3, 3, 0, 0, 0, 0, 1}},
    {"DentroDaMarcaDaSegundaNota", "notas de serviço", "", 0,
     Parada("MOV_NOTA_FISCAL_VENDA", "BEFORE UPDATE", kEnviadoMarcado, 2), {3, 3, 1, 0, 0, 0, 1}},
    {"TerceiraNotaRecebidaSemResposta", "notas de serviço", kNotaFiscal, 3, "", {3, 3, 2, 0, 0, 0, 1}},
    {"FaturamentoPedidoSemResposta", "faturamento", kFaturamento, 1, "", {3, 3, 3, 0, 0, 0, 1}},
    {"DentroDoPrimeiroCadastroDeCliente", "faturamento", "", 0,
     Parada("CAD_PESSOA", "BEFORE INSERT", "TRUE"), {3, 3, 3, 0, 0, 0, 1}},
    {"DentroDaInclusaoDoCabecalho", "faturamento", "", 0,
     Parada("MOV_CONTRATO_FATURAMENTO", "BEFORE INSERT", "TRUE"), {3, 3, 3, 4, 0, 0, 1}},
    {"DentroDoPrimeiroItem", "faturamento", "", 0,
     Parada("MOV_IT_CONTRATO_FATURAMENTO", "BEFORE INSERT", "TRUE"), {-1, -1, -1, 4, 0, 1, 1}, true},
    {"DentroDaRemocaoDaRequisicao", "faturamento", "", 0,
     Parada("MOV_REQUISICAO_SERVICO", "BEFORE DELETE", "TRUE"), {3, 3, 3, 4, 5, 1, 1}},
    {"NaSegundaLinhaDaRemocaoDeDuasRequisicoes", "faturamento", "", 0,
     Parada("MOV_REQUISICAO_SERVICO", "BEFORE DELETE", "TRUE", 2), {3, 3, 3, 4, 5, 1, 2}, false, 2},
};

// ------------------------------------------------------------ reading back

// The file name an upload carried, "" when none.
std::string NomeEnviado(const RequisicaoGravada& req) {
  const std::string marca = "filename=\"";
  const auto inicio = req.corpo.find(marca);
  if (inicio == std::string::npos) return {};
  const auto fim = req.corpo.find('"', inicio + marca.size());
  return req.corpo.substr(inicio + marca.size(), fim - inicio - marca.size());
}

// Invoice identifiers of a paid-invoice report body.
std::vector<int> FaturasDoCorpo(const std::string& corpo) {
  std::vector<int> ids;
  const std::string marca = "\"id_fatura\": ";
  for (auto p = corpo.find(marca); p != std::string::npos; p = corpo.find(marca, p + 1))
    ids.push_back(std::stoi(corpo.substr(p + marca.size())));
  return ids;
}

// Requests per uploaded file name and invoice identifiers reported, among
// the requests from `desde` on.
struct Recebido {
  std::map<std::string, int> arquivos;
  std::vector<int> faturas;  // every identifier of every report, in order
  int relatorios = 0, buscas = 0;
};
Recebido Receber(const std::vector<RequisicaoGravada>& reqs, std::size_t desde, std::size_t ate) {
  Recebido r;
  for (std::size_t i = desde; i < ate; ++i) {
    const auto& req = reqs[i];
    if (req.caminho == kBoleto || req.caminho == kNotaFiscal) ++r.arquivos[NomeEnviado(req)];
    if (req.caminho == kFaturado) {
      ++r.relatorios;
      for (int id : FaturasDoCorpo(req.corpo)) r.faturas.push_back(id);
    }
    if (req.caminho == kFaturamento) ++r.buscas;
  }
  return r;
}

// Marks in the database: paid invoices reported, files sent.
struct Marcas {
  std::set<int> faturas;
  std::set<std::string> arquivos;
};
Marcas LerMarcas(Sessao& banco) {
  Marcas m;
  for (const auto& l : banco.Consultar("SELECT ID_FATURA FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'"))
    m.faturas.insert(std::stoi(l[0]));
  for (const auto& l : banco.Consultar(
           "SELECT NUMERO, PARCELA FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado'"))
    m.arquivos.insert("CM " + l[0] + "-" + l[1] + ".pdf");
  for (const auto& l : banco.Consultar(
           "SELECT IDENTIFICACAO_ARQUIVO_XML_NFE FROM MOV_NOTA_FISCAL_VENDA WHERE STATUS_ENVIO_API = 'Enviado'"))
    m.arquivos.insert(l[0]);
  return m;
}

Estado LerEstado(Sessao& banco) {
  const auto n = [&](const std::string& sql) { return std::stoi(banco.Valor(sql)); };
  Estado e;
  e.pagas = n("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'");
  e.boletos = n("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado'");
  e.notas = n("SELECT COUNT(*) FROM MOV_NOTA_FISCAL_VENDA WHERE STATUS_ENVIO_API = 'Enviado'");
  e.pessoas_novas = n("SELECT COUNT(*) FROM CAD_PESSOA") - 1;
  e.itens = n("SELECT COUNT(*) FROM MOV_IT_CONTRATO_FATURAMENTO");
  e.cabecalhos = n("SELECT COUNT(*) FROM MOV_CONTRATO_FATURAMENTO");
  e.requisicoes = n("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO");
  return e;
}

void ConferirEstado(const Estado& lido, const Estado& esperado) {
  const std::pair<const char*, std::pair<int, int>> campos[] = {
      {"paid invoices marked", {lido.pagas, esperado.pagas}},
      {"boletos marked", {lido.boletos, esperado.boletos}},
      {"service invoices marked", {lido.notas, esperado.notas}},
      {"new clients", {lido.pessoas_novas, esperado.pessoas_novas}},
      {"billing items", {lido.itens, esperado.itens}},
      {"billing headers", {lido.cabecalhos, esperado.cabecalhos}},
      {"billing requests", {lido.requisicoes, esperado.requisicoes}},
  };
  for (const auto& [nome, valores] : campos)
    if (valores.second >= 0) {
      EXPECT_EQ(valores.first, valores.second) << nome;
    }
}

// ------------------------------------------------------------ the test

class Morte : public ::testing::TestWithParam<PontoDeMorte> {};

TEST_P(Morte, ExecutadoDeNovoNadaSePerdeENadaSeRepete) {
  const PontoDeMorte& ponto = GetParam();
  Simulador sim;
  AceitarTudo(sim);
  Instalacao inst(Exe);
  inst.Configurar("7", true, "Sim");
  {
    Sessao sessao(inst);
    Preparar(inst, sessao, sim, ponto.requisicoes);
    if (!ponto.gatilho.empty()) {
      sessao.Sql("CREATE TABLE MORTE_MARCA (T VARCHAR(20))");
      sessao.Sql(ponto.gatilho);
    }
  }
  const fs::path banco = inst.Bancos().dados;
  ASSERT_FALSE(ArquivoContem(banco, kMarca)) << "the marker must come from the trigger only";

  // ---- the run that is killed
  std::optional<MorteNaRequisicao> na_requisicao;
  if (!ponto.caminho.empty()) na_requisicao.emplace(sim, ponto.caminho, ponto.vez);
  std::shared_ptr<Processo> processo = inst.Iniciar(ponto.servico ? std::vector<std::string>{}
                                                                  : std::vector<std::string>{"/ONCE"});
  if (na_requisicao) {
    na_requisicao->Vigiar(processo);
    const bool morto = na_requisicao->Esperar(60s);
    na_requisicao->Soltar();
    ASSERT_TRUE(morto) << "the kill point was not reached\n" << processo->Erros();
  } else {
    const bool parado = Aguardar([&] { return ArquivoContem(banco, kMarca) || !processo->Vivo(); }, 60s);
    ASSERT_TRUE(parado && processo->Vivo()) << "the kill point was not reached\n" << processo->Erros();
    processo->Sinal(SIGKILL);
  }
  ASSERT_EQ(processo->Esperar(), kMorto);
  processo.reset();

  const auto reqs_morte = sim.Requisicoes();
  const Recebido antes = Receber(reqs_morte, 0, reqs_morte.size());
  Marcas marcas_morte;
  Estado estado_morte;
  {
    SCOPED_TRACE("after the kill");
    Sessao sessao(inst);
    marcas_morte = LerMarcas(sessao);
    estado_morte = LerEstado(sessao);
    ConferirEstado(estado_morte, ponto.apos_morte);
    if (!ponto.gatilho.empty()) {
      // Killed inside that statement, which fired the trigger once.
      EXPECT_EQ(sessao.Valor("SELECT COUNT(*) FROM MORTE_MARCA"), "1");
      sessao.Sql("DROP TRIGGER MORTE_PARADA");
    }
    // The request the process died on never had its reply read: nothing of it is marked.
    if (!ponto.caminho.empty()) {
      const auto& ultima = reqs_morte.back();
      EXPECT_FALSE(marcas_morte.arquivos.contains(NomeEnviado(ultima))) << NomeEnviado(ultima);
      for (int id : FaturasDoCorpo(ultima.corpo)) EXPECT_FALSE(marcas_morte.faturas.contains(id)) << id;
    }
    // Nothing is marked that the supplier never got.
    const std::set<int> relatadas(antes.faturas.begin(), antes.faturas.end());
    for (int id : marcas_morte.faturas) EXPECT_TRUE(relatadas.contains(id)) << id;
    for (const auto& arquivo : marcas_morte.arquivos) EXPECT_TRUE(antes.arquivos.contains(arquivo)) << arquivo;
  }

  // ---- run again to the end
  const auto r = inst.Rodar({"/ONCE"}, 60s);
  ASSERT_EQ(r.codigo, 0) << r.erros;
  EXPECT_EQ(r.erros, "");

  const auto reqs = sim.Requisicoes();
  const Recebido depois = Receber(reqs, reqs_morte.size(), reqs.size());
  Sessao sessao(inst);
  const Marcas marcas = LerMarcas(sessao);

  // Every paid invoice marked; the rerun reported exactly those left unmarked.
  EXPECT_EQ(marcas.faturas, std::set<int>(kFaturasPagas.begin(), kFaturasPagas.end()));
  std::vector<int> faltavam;
  for (int id : kFaturasPagas)
    if (!marcas_morte.faturas.contains(id)) faltavam.push_back(id);
  EXPECT_EQ(depois.faturas, faltavam);
  EXPECT_EQ(depois.relatorios, faltavam.empty() ? 0 : 1);

  // Every file marked; a file marked before the kill is not sent again, any
  // other (the one whose reply never arrived or whose mark died) is sent once.
  for (const auto& lista : {kBoletos, kNotas}) {
    for (const auto& arquivo : lista) {
      SCOPED_TRACE(arquivo);
      EXPECT_TRUE(marcas.arquivos.contains(arquivo));
      const int reenvios = depois.arquivos.contains(arquivo) ? depois.arquivos.at(arquivo) : 0;
      EXPECT_EQ(reenvios, marcas_morte.arquivos.contains(arquivo) ? 0 : 1);
    }
  }

  // Every invoice of the billing exactly once, each with its own client,
  // every client once, one header, the requests gone.
  const auto pessoas = sessao.Consultar("SELECT CNPJ_CPF, COUNT(*), MIN(CADASTRO) FROM CAD_PESSOA GROUP BY CNPJ_CPF");
  ASSERT_EQ(pessoas.size(), kFaturamentoItens.size());
  std::map<std::string, std::string> codigo_do_cnpj;
  for (const auto& p : pessoas) {
    EXPECT_EQ(p[1], "1") << p[0];
    codigo_do_cnpj[p[0]] = p[2];
  }
  std::vector<std::vector<std::string>> esperados;
  for (const auto& [id, cnpj] : kFaturamentoItens) {
    ASSERT_TRUE(codigo_do_cnpj.contains(cnpj)) << cnpj;
    esperados.push_back({std::to_string(id), codigo_do_cnpj[cnpj]});
  }
  EXPECT_EQ(sessao.Consultar("SELECT ID_FATURA, CLIENTE FROM MOV_IT_CONTRATO_FATURAMENTO ORDER BY ID_FATURA"),
            esperados);
  EXPECT_EQ(sessao.Valor("SELECT COUNT(DISTINCT SEQ) || ' ' || MIN(SEQ) || ' ' || MAX(SEQ) || ' ' || "
                       "COUNT(DISTINCT NUMERO) FROM MOV_IT_CONTRATO_FATURAMENTO"),
            "5 1 5 1");
  EXPECT_EQ(sessao.Valor("SELECT COUNT(*) FROM MOV_CONTRATO_FATURAMENTO C JOIN MOV_IT_CONTRATO_FATURAMENTO I "
                       "ON I.EMPRESA = C.EMPRESA AND I.NUMERO = C.NUMERO"),
            "5");
  EXPECT_EQ(sessao.Valor("SELECT COUNT(*) FROM MOV_CONTRATO_FATURAMENTO"), "1");
  EXPECT_EQ(sessao.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "0");
  // The billing is fetched again while its request is there.
  EXPECT_EQ(depois.buscas, estado_morte.requisicoes > 0 ? 1 : 0);

  // No registration failed, no item collided, no reply went unread (the
  // billing reply's flag is the only line that starts so).
  std::vector<std::string> erros;
  for (const auto& linha : inst.Linhas())
    if (linha.rfind("Erro", 0) == 0 && linha != "Erro: 0") erros.push_back(linha);
  EXPECT_EQ(erros, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(PontosDeMorte, Morte, ::testing::ValuesIn(kPontos),
                         [](const ::testing::TestParamInfo<PontoDeMorte>& info) { return info.param.nome; });

}  // namespace
