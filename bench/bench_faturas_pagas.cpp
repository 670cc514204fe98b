// Paid-invoice report of many paid receivables: the whole EnviarFaturasPagas
// run (selection, body, POST to the simulator with the pause off, reply and
// marking) against a baseline that runs the same selection and the same
// marking statements, one committed transaction each, straight through the
// Firebird interface, and builds the same body; with the databases behind a
// Firebird server on loopback and through the engine in this process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/chamada.h"
#include "api/ufuncoes_api.h"
#include "bench/apoio_bench.h"
#include "bench/firebird_direto.h"
#include "bench/topologia_bench.h"
#include "dm/udm.h"
#include "global/funcoes.h"
#include "global/uglobal.h"
#include "tests/support/banco_teste.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/support/simulador.h"

namespace {

using namespace lumiford::bench;
using lumiford::teste::AmbienteServico;
using lumiford::teste::ConfiguracaoIni;
using lumiford::teste::PastaTemporaria;
using lumiford::teste::Resposta;
using lumiford::teste::Simulador;

constexpr int kEmpresa = 7;
constexpr int kIdInicial = 700000;

// Company and the paid receivables, each with one payment entry.
void Semear(const std::string& arquivo, int porta, int n) {
  FirebirdDireto db(arquivo);
  db.IniciarLote();
  db.Executar(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
      "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN) VALUES (?, 'Empresa', '2', 'http', ?, 'tok-7abc9d2e')",
      {std::int64_t{kEmpresa}, "127.0.0.1:" + std::to_string(porta)});
  for (int i = 0; i < n; ++i) {
    const std::int64_t cliente = 1 + i % 1000, numero = 1000 + i;
    db.Executar(
        "INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, VALOR, "
        "SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (?, 'CM', 'CM', ?, ?, 1, 1, '2025-03-05', 150.75, 0, ?, '1')",
        {std::int64_t{kEmpresa}, cliente, numero, std::int64_t{kIdInicial + i}});
    db.Executar(
        "INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, SEQ, "
        "DATA_PAGAMENTO, VALOR_PAGO) VALUES (?, 'CM', 'CM', ?, ?, 1, 1, 1, '2025-03-10', 150.75)",
        {std::int64_t{kEmpresa}, cliente, numero});
  }
  db.ConcluirLote();
}

// The web service takes every invoice.
std::string MontarResposta(int n) {
  std::string texto = "{\"error\":false,\"messageSuccess\":[";
  for (int i = 0; i < n; ++i)
    texto += std::string(i ? "," : "") + "{\"message\":\"Registro salvo\",\"id_fatura\":\"" +
             std::to_string(kIdInicial + i) + "\"}";
  return texto + "],\"messageError\":[]}";
}

const char* const kSelecao =
    "SELECT SUM(IR.VALOR_PAGO) VALOR, R.CLIENTE, R.ID_FATURA FROM MOV_CONTAS_RECEBER R "
    "LEFT OUTER JOIN MOV_IT_CONTAS_RECEBER IR ON (IR.EMPRESA = R.EMPRESA AND IR.CAIXA = R.CAIXA AND "
    "IR.DOCUMENTO = R.DOCUMENTO AND IR.CLIENTE = R.CLIENTE AND IR.NUMERO = R.NUMERO) "
    "WHERE R.EMPRESA = ? AND R.CAIXA = ? AND R.DOCUMENTO = ? AND R.ID_FATURA > 0 "
    "AND R.FATURA_ENVIADA <> '2' AND R.SALDO = 0 GROUP BY R.CLIENTE, R.ID_FATURA ORDER BY R.ID_FATURA";

// Selection, body and marking; the request itself is left out of the baseline.
std::size_t LinhaDeBase(FirebirdDireto& db, std::size_t& tamanho_corpo) {
  const std::int64_t empresa = kEmpresa;
  std::vector<std::int64_t> ids;
  std::string corpo = "[";
  db.Executar(kSelecao, {empresa, "CM", "CM"}, [&](const FirebirdDireto::Linha& l) {
    if (l.Inteiro(1) <= 0) return;
    ids.push_back(l.Inteiro(2));
    // NUMERIC(18,2) sum: its integer in cents.
    const std::int64_t centavos = l.Inteiro(0);
    char valor[32];
    std::snprintf(valor, sizeof valor, "%lld.%02lld", static_cast<long long>(centavos / 100),
                  static_cast<long long>(centavos % 100));
    if (corpo.size() > 1) corpo += ", ";
    corpo += "{\"id_fatura\": " + std::to_string(ids.back()) + ", \"valorPago\": " + valor + "}";
  });
  corpo += "]";
  for (const std::int64_t id : ids)
    db.Executar("UPDATE MOV_CONTAS_RECEBER SET FATURA_ENVIADA = '2' WHERE EMPRESA = ? AND ID_FATURA = ?",
                {empresa, id});
  tamanho_corpo = corpo.size();
  return ids.size();
}

// The body of n rows built the way the report builds it, where the test for
// "is this the first element" copies the whole body trimmed, and with a
// plain emptiness test.
double TempoCorpo(int n, bool aparando) {
  const auto inicio = Relogio::now();
  std::string corpo;
  for (int i = 0; i < n; ++i) {
    if (aparando ? !Trim(corpo).empty() : !corpo.empty()) corpo += ", ";
    corpo += "{\"id_fatura\": " + std::to_string(kIdInicial + i) + ", \"valorPago\": " + TrocarPontoVirgula("150,75") +
             "}";
  }
  corpo = "[" + corpo + "]";
  const double t = Segundos(inicio);
  if (corpo.size() < static_cast<std::size_t>(n)) throw std::runtime_error("short body");
  return t;
}

// One comparison with the databases reached one way: fresh copies of the
// seeded database for every run; the two sides take turns in going first,
// and each keeps its best time.
void Comparar(Topologia topologia, Simulador& sim, int n, int rodadas) {
  std::printf(" Databases through the %s:\n", Descricao(topologia));
  ConfiguracaoIni ini;
  ini.empresa = std::to_string(kEmpresa);
  ini.debug = "Nao";
  AmbienteServico amb(ini, topologia);
  PastaTemporaria pasta{"bench-faturas-pagas"};
  const std::string base = (std::filesystem::path(pasta.str()) / "BASE.FDB").string();
  const std::string semente = (std::filesystem::path(pasta.str()) / "SEMENTE.FDB").string();
  Semear(Alcance(amb, amb.Bancos().dados), sim.Porta(), n);
  std::filesystem::copy_file(amb.Bancos().dados, semente);

  std::size_t marcadas_base = 0, corpo_base = 0;
  std::optional<FirebirdDireto> db;
  Lado base_lado{[&] {
                   std::filesystem::copy_file(semente, base, std::filesystem::copy_options::overwrite_existing);
                   db.emplace(Alcance(amb, base));
                 },
                 [&] { marcadas_base = LinhaDeBase(*db, corpo_base); }, [&] { db.reset(); }};
  Lado servico_lado{[&] {
                      std::filesystem::copy_file(semente, amb.Bancos().dados,
                                                 std::filesystem::copy_options::overwrite_existing);
                      dm = std::make_unique<Tdm>();
                      if (ErroConexao) throw std::runtime_error(MensagemErroConexao);
                    },
                    [&] { EnviarFaturasPagas(); }, [&] { dm.reset(); }};
  const bool servidor = amb.ServidorBanco() != nullptr;
  if (servidor) base_lado.cpuOutro = servico_lado.cpuOutro = [&] { return SegundosCpuServidor(amb); };
  Alternar(rodadas, base_lado, servico_lado);
  const MelhorTempo& b = base_lado.melhor;
  const MelhorTempo& s = servico_lado.melhor;
  const std::string marcadas = lumiford::teste::ValorSQL(
      Alcance(amb, amb.Bancos().dados), "SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'");
  if (marcadas != std::to_string(n) || marcadas_base != static_cast<std::size_t>(n))
    throw std::runtime_error("marked " + marcadas + " (baseline " + std::to_string(marcadas_base) + ") of " +
                             std::to_string(n));
  const auto pedidos = sim.Requisicoes();
  const std::size_t corpo = pedidos.empty() ? 0 : pedidos.back().corpo.size();

  std::printf("  request body: %.2f MB (baseline built %.2f MB)\n", static_cast<double>(corpo) / 1e6,
              static_cast<double>(corpo_base) / 1e6);
  std::printf("  baseline (same statements, Firebird interface): %8.3f s, CPU %.3f s", b.parede, b.cpu);
  if (servidor) std::printf(", server CPU %.3f s", b.cpu_outro);
  std::printf("\n  EnviarFaturasPagas (statements + body + POST):  %8.3f s, CPU %.3f s", s.parede, s.cpu);
  if (servidor) std::printf(", server CPU %.3f s", s.cpu_outro);
  std::printf(" (best of %d)\n", rodadas);
  std::printf("  ratio: %.3f (goal <= 1.3); CPU ratio %.3f", s.parede / b.parede, s.cpu / b.cpu);
  if (servidor) std::printf(", with the server's %.3f", (s.cpu + s.cpu_outro) / (b.cpu + b.cpu_outro));
  std::printf("\n");
}

}  // namespace

int main() {
  try {
    const int n = static_cast<int>(Tamanho("LUMIFORD_BENCH_FATURAS", 50000));
    const int rodadas = static_cast<int>(Tamanho("LUMIFORD_BENCH_RODADAS", 3));
    std::printf("Paid-invoice report: %d paid receivables\n", n);
    DefinirPausaAposPost(std::chrono::milliseconds(0));

    Simulador sim;
    sim.Responder("/financeiro/cliente/faturado", Resposta::Json(MontarResposta(n)));
    for (const Topologia topologia : Topologias()) Comparar(topologia, sim, n, rodadas);
    std::printf("  body of %d rows built with the trimmed-copy test: %.3f s; with an emptiness test: %.3f s\n", n,
                TempoCorpo(n, true), TempoCorpo(n, false));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_faturas_pagas: %s\n", e.what());
    return 1;
  }
}
