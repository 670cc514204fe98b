// Billing import of many items: the whole BuscarFaturamento run (reply from
// the simulator, debug off) against a baseline that runs the same
// statements, one committed transaction each, straight through the Firebird
// interface, with the databases behind a Firebird server on loopback and
// through the engine in this process. Then the reply read alone (parse
// and rows): its time and the heap's highest mark over it.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/chamada.h"
#include "api/faturamento.h"
#include "api/ufuncoes_api.h"
#include "bench/apoio_bench.h"
#include "bench/firebird_direto.h"
#include "bench/topologia_bench.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/funcoes.h"
#include "global/json.h"
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
constexpr int kIdInicial = 500000;

struct ItemBench {
  int id_fatura = 0;
  std::string cnpj;  // punctuated
  bool novo = false;
  std::string nome;
};

std::string CnpjDe(int n) {
  char d[32];
  std::snprintf(d, sizeof d, "%08d0001%02d", n, n % 100);
  return FormatarCnpjCpf(d);
}

// Items of about 1 kB: half of them for clients the ERP already has.
std::vector<ItemBench> Itens(int n) {
  std::vector<ItemBench> itens;
  for (int i = 0; i < n; ++i) {
    ItemBench it;
    it.id_fatura = kIdInicial + i;
    it.novo = i >= n / 2;
    it.cnpj = CnpjDe(it.novo ? 100000 + i : 1 + i);
    it.nome = "Cliente " + std::to_string(i);
    itens.push_back(std::move(it));
  }
  return itens;
}

std::string MontarResposta(const std::vector<ItemBench>& itens) {
  const std::string observacao(700, 'o');
  std::string texto = "{\"error\":false,\"data\":[";
  for (std::size_t i = 0; i < itens.size(); ++i) {
    const auto& it = itens[i];
    if (i) texto += ",";
    texto += "{\"id_fatura\":" + std::to_string(it.id_fatura) +
             ",\"ano\":2025,\"mes\":2,\"aliquota\":5.5,\"valorCobranca\":150.75,\"observacao\":\"Mensalidade " +
             observacao + "\",\"nome\":\"" + it.nome + "\",\"cnpj\":\"" + it.cnpj +
             "\",\"ie\":\"123.456.789.110\",\"endereco\":\"Rua das Flores\",\"numero\":\"100\",\"bairro\":\"Centro\","
             "\"complemento\":\"Sala 2\",\"cep\":\"01310-100\",\"codigoIbge\":3550308,\"contatos\":["
             "{\"tipo\":\"email\",\"contato\":\"financeiro@cliente.com.br\"},"
             "{\"tipo\":\"telefone\",\"contato\":\"(11) 3333-4444\"}]}";
  }
  return texto + "]}";
}

// Company, request and the known clients, in one transaction.
void Semear(const std::string& arquivo, int porta, const std::vector<ItemBench>& itens) {
  FirebirdDireto db(arquivo);
  db.IniciarLote();
  db.Executar(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
      "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES (?, 'Empresa', '2', 'http', ?, "
      "'tok-7abc9d2e', 12)",
      {std::int64_t{kEmpresa}, "127.0.0.1:" + std::to_string(porta)});
  db.Executar(
      "INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO, REQUISICAO) VALUES (?, 1, "
      "'BUSCAR_FATURAMENTO_API', '')",
      {std::int64_t{kEmpresa}});
  std::int64_t codigo = 0;
  for (const auto& it : itens)
    if (!it.novo)
      db.Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (?, ?, ?)", {++codigo, it.nome, it.cnpj});
  db.ConcluirLote();
  db.Executar("SET GENERATOR CAD_PESSOA TO " + std::to_string(codigo));
}

// The statements of one import, in the order the service runs them.
void LinhaDeBase(FirebirdDireto& db, const std::vector<ItemBench>& itens, int ano, int mes) {
  const std::int64_t empresa = kEmpresa;
  std::int64_t requisicao = 0;
  db.Executar("SELECT NUMERO FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = ? AND TIPO_REQUISICAO = ?",
              {empresa, "BUSCAR_FATURAMENTO_API"}, [&](const FirebirdDireto::Linha& l) { requisicao = l.Inteiro(0); });
  if (requisicao <= 0) throw std::runtime_error("sem requisição");

  std::string insercao = "INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, IE_RG, ENDERECO, NUMERO_ENDERECO, "
                         "COMPLEMENTO, BAIRRO, CEP, CIDADE";
  for (const auto c : tabelas::cad_pessoa::ColunasNao) insercao += ", " + std::string(c);
  for (const auto c : tabelas::cad_pessoa::ColunasSim) insercao += ", " + std::string(c);
  insercao += ", CNPJ_LICENCA, TIPO_CONTRATO_MANUTENCAO, CLI_DIA_CONTRATO_MANUTENCAO, CLI_MES_INICIAL_MENSALIDADE, "
              "CLI_ANO_INICIAL_MENSALIDADE, CLI_VALOR_CONTRATO_MANUTENCAO) VALUES (?";
  for (int i = 1; i < 10 + 27 + 3 + 6; ++i) insercao += ", ?";
  insercao += ")";

  std::vector<std::int64_t> clientes(itens.size(), 0);
  std::vector<bool> importadas(itens.size(), false);
  for (std::size_t i = 0; i < itens.size(); ++i) {
    const auto& it = itens[i];
    db.Executar(
        "SELECT P.*, CI.ESTADO, A.CODIGO_ESTADO_IBGE FROM CAD_PESSOA P LEFT OUTER JOIN CAD_CIDADE CI ON "
        "(CI.CADASTRO = P.CIDADE) LEFT OUTER JOIN CAD_ALIQUOTA_ICMS_ESTADO A ON (A.ESTADO = CI.ESTADO) "
        "WHERE P.CNPJ_CPF = ? ORDER BY P.CADASTRO",
        {it.cnpj}, [&](const FirebirdDireto::Linha& l) {
          if (!clientes[i]) clientes[i] = l.Inteiro(0);
        });
    if (!clientes[i]) {
      db.Executar("SELECT GEN_ID(CAD_PESSOA, 1) ULTIMO FROM GENERATORS", {},
                  [&](const FirebirdDireto::Linha& l) { clientes[i] = l.Inteiro(0); });
      std::vector<ValorDireto> p{clientes[i], it.nome,  it.cnpj, "123456789110", "Rua das Flores",
                                 "100",       "Sala 2", "Centro", "01310-100",   std::int64_t{3550308}};
      for (std::size_t k = 0; k < std::size(tabelas::cad_pessoa::ColunasNao); ++k) p.emplace_back("1");
      for (std::size_t k = 0; k < std::size(tabelas::cad_pessoa::ColunasSim); ++k) p.emplace_back("2");
      p.insert(p.end(), {it.cnpj, "Mensal", std::int64_t{10}, NomeMes(2), std::int64_t{2025}, Dezmilesimos{0}});
      db.Executar(insercao, p);
    }
    db.Executar("SELECT NUMERO FROM MOV_IT_CONTRATO_FATURAMENTO WHERE EMPRESA = ? AND ID_FATURA = ?",
                {empresa, std::int64_t{it.id_fatura}},
                [&](const FirebirdDireto::Linha& l) { importadas[i] = l.Inteiro(0) > 0; });
  }

  std::int64_t numero = 0, seq = 1;
  db.Executar(
      "SELECT MAX(FI.SEQ) SEQ, F.NUMERO FROM MOV_CONTRATO_FATURAMENTO F LEFT OUTER JOIN MOV_IT_CONTRATO_FATURAMENTO "
      "FI ON (FI.EMPRESA = F.EMPRESA AND FI.NUMERO = F.NUMERO) WHERE F.EMPRESA = ? AND F.MES_REFERENCIA = ? AND "
      "F.ANO_REFERENCIA = ? GROUP BY F.NUMERO",
      {empresa, NomeMes(mes), std::int64_t{ano}}, [&](const FirebirdDireto::Linha& l) {
        numero = l.Inteiro(1);
        seq = l.Inteiro(0) + 1;
      });
  if (!numero) {
    db.Executar("SELECT GEN_ID(MOV_CONTRATO_FATURAMENTO_007, 1) ULTIMO FROM GENERATORS", {},
                [&](const FirebirdDireto::Linha& l) { numero = l.Inteiro(0); });
    db.Executar(
        "INSERT INTO MOV_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, VENDEDOR, MES_REFERENCIA, ANO_REFERENCIA) VALUES (?, "
        "?, ?, ?, ?)",
        {empresa, numero, std::int64_t{12}, NomeMes(mes), std::int64_t{ano}});
  }
  for (std::size_t i = 0; i < itens.size(); ++i) {
    if (importadas[i]) continue;
    db.Executar(
        "INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, COMISSAO, MENSALIDADE, ID_FATURA) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)",
        {empresa, numero, seq++, clientes[i], Dezmilesimos{55000}, Dezmilesimos{1507500},
         std::int64_t{itens[i].id_fatura}});
  }
  db.Executar("DELETE FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = ? AND TIPO_REQUISICAO = ?",
              {empresa, "BUSCAR_FATURAMENTO_API"});
}

// The reply read as the import reads it: parse, then every item into its
// row and its contacts.
std::size_t LerResposta(const std::string& resposta) {
  TabelaFaturamento linhas;
  ContatosFaturamento contatos;
  if (const auto erro = LerRespostaFaturamento(resposta, linhas, contatos)) std::rethrow_exception(erro);
  return linhas.size();
}

// The same GET with plain Beast reading 64 KiB at a time: what the fetch costs
// when the reads are not held to the read buffer's first size.
std::size_t BuscarReferencia(std::uint16_t porta) {
  namespace net = boost::asio;
  namespace http = boost::beast::http;
  net::io_context ioc;
  net::ip::tcp::socket socket(ioc);
  socket.connect({net::ip::make_address("127.0.0.1"), porta});
  http::request<http::empty_body> pedido{http::verb::get, "/financeiro/cliente/faturamento?ano=2025&mes=2", 11};
  pedido.set(http::field::host, "127.0.0.1");
  http::write(socket, pedido);
  boost::beast::flat_buffer buffer;
  buffer.reserve(64 * 1024);
  http::response_parser<http::string_body> leitor;
  leitor.body_limit(64u << 20);
  http::read(socket, buffer, leitor);
  boost::system::error_code ec;
  socket.shutdown(net::ip::tcp::socket::shutdown_both, ec);
  return leitor.get().body().size();
}

std::string Contar(const std::string& arquivo, const std::string& tabela) {
  return lumiford::teste::ValorSQL(arquivo, "SELECT COUNT(*) FROM " + tabela);
}

// One comparison with the databases reached one way: fresh copies of the
// seeded database for every run; the two sides take turns in going first,
// and each keeps its best time.
void Comparar(Topologia topologia, Simulador& sim, const std::vector<ItemBench>& itens, const std::string& resposta,
              int rodadas) {
  std::printf(" Databases through the %s:\n", Descricao(topologia));
  const int n = static_cast<int>(itens.size());
  ConfiguracaoIni ini;
  ini.empresa = std::to_string(kEmpresa);
  ini.debug = "Nao";
  AmbienteServico amb(ini, topologia);
  PastaTemporaria pasta{"bench-faturamento"};
  const std::string base = (std::filesystem::path(pasta.str()) / "BASE.FDB").string();
  const std::string semente = (std::filesystem::path(pasta.str()) / "SEMENTE.FDB").string();
  const std::string dados = Alcance(amb, amb.Bancos().dados);
  Semear(dados, sim.Porta(), itens);

  // The period the service asks for: the month before today.
  const std::time_t agora = std::time(nullptr);
  std::tm hoje{};
  localtime_r(&agora, &hoje);
  const int mes = hoje.tm_mon == 0 ? 12 : hoje.tm_mon;
  const int ano = hoje.tm_year + 1900 - (hoje.tm_mon == 0 ? 1 : 0);

  std::filesystem::copy_file(amb.Bancos().dados, semente);
  std::optional<FirebirdDireto> db;
  Lado base_lado{[&] {
                   std::filesystem::copy_file(semente, base, std::filesystem::copy_options::overwrite_existing);
                   db.emplace(Alcance(amb, base));
                 },
                 [&] { LinhaDeBase(*db, itens, ano, mes); }, [&] { db.reset(); }};
  Lado servico_lado{[&] {
                      std::filesystem::copy_file(semente, amb.Bancos().dados,
                                                 std::filesystem::copy_options::overwrite_existing);
                      dm = std::make_unique<Tdm>();
                      if (ErroConexao) throw std::runtime_error(MensagemErroConexao);
                    },
                    [&] { BuscarFaturamento(); }, [&] { dm.reset(); }};
  const bool servidor = amb.ServidorBanco() != nullptr;
  if (servidor) base_lado.cpuOutro = servico_lado.cpuOutro = [&] { return SegundosCpuServidor(amb); };
  Alternar(rodadas, base_lado, servico_lado);
  const MelhorTempo& b = base_lado.melhor;
  const MelhorTempo& s = servico_lado.melhor;
  const std::string itens_servico = Contar(dados, "MOV_IT_CONTRATO_FATURAMENTO");
  const std::string itens_base = Contar(Alcance(amb, base), "MOV_IT_CONTRATO_FATURAMENTO");
  const std::string pessoas_servico = Contar(dados, "CAD_PESSOA");
  const std::string pessoas_base = Contar(Alcance(amb, base), "CAD_PESSOA");
  if (itens_servico != std::to_string(n) || itens_servico != itens_base || pessoas_servico != pessoas_base)
    throw std::runtime_error("the runs differ: items " + itens_servico + "/" + itens_base + ", clients " +
                             pessoas_servico + "/" + pessoas_base);

  // The part of the service's run that the baseline does not have: the
  // reply fetched over HTTP.
  double t_busca = 1e9;
  {
    dm = std::make_unique<Tdm>();
    for (int r = 0; r < 3; ++r) {
      const auto inicio = Relogio::now();
      if (BuscarJson(dm->IdHTTP, sim.Base() + "/financeiro/cliente/faturamento?ano=2025&mes=2&token_erp=x").size() !=
          resposta.size())
        throw std::runtime_error("short reply");
      t_busca = std::min(t_busca, Segundos(inicio));
    }
    dm.reset();
  }
  double t_referencia = 1e9;
  for (int r = 0; r < 3; ++r) {
    const auto inicio = Relogio::now();
    if (BuscarReferencia(sim.Porta()) != resposta.size()) throw std::runtime_error("short reply");
    t_referencia = std::min(t_referencia, Segundos(inicio));
  }

  std::printf("  baseline (same statements, Firebird interface): %8.3f s, CPU %.3f s", b.parede, b.cpu);
  if (servidor) std::printf(", server CPU %.3f s", b.cpu_outro);
  std::printf("\n  BuscarFaturamento (HTTP + parse + statements):  %8.3f s, CPU %.3f s", s.parede, s.cpu);
  if (servidor) std::printf(", server CPU %.3f s", s.cpu_outro);
  std::printf(" (best of %d)\n", rodadas);
  std::printf("    of which the reply fetched over HTTP alone:   %8.3f s (the same GET reading 64 KiB at a time: %.3f s)\n",
              t_busca, t_referencia);
  std::printf("  ratio: %.3f (goal <= 1.3); CPU ratio %.3f", s.parede / b.parede, s.cpu / b.cpu);
  if (servidor) std::printf(", with the server's %.3f", (s.cpu + s.cpu_outro) / (b.cpu + b.cpu_outro));
  std::printf("\n");
}

}  // namespace

int main() {
  try {
    const int n = static_cast<int>(Tamanho("LUMIFORD_BENCH_ITENS", 10000));
    const int rodadas = static_cast<int>(Tamanho("LUMIFORD_BENCH_RODADAS", 3));
    const auto itens = Itens(n);
    const std::string resposta = MontarResposta(itens);
    std::printf("Billing import: %d items (%d new clients), reply %.1f MB\n", n, n - n / 2,
                static_cast<double>(resposta.size()) / 1e6);

    Simulador sim;
    sim.Responder("/financeiro/cliente/faturamento", Resposta::Json(resposta));
    for (const Topologia topologia : Topologias()) Comparar(topologia, sim, itens, resposta, rodadas);

    // The reply read alone: the best of a few rounds, and the heap's highest
    // mark over them.
    {
      double melhor = 1e9;
      std::int64_t pico = 0;
      for (int rodada = 0; rodada < 5; ++rodada) {
        ContagemMemoria::ZerarPico();
        const std::int64_t antes = ContagemMemoria::EmUso();
        const auto inicio = Relogio::now();
        if (LerResposta(resposta) != itens.size()) throw std::runtime_error("reply read short");
        melhor = std::min(melhor, Segundos(inicio));
        pico = std::max(pico, ContagemMemoria::Pico() - antes);
      }
      std::printf("Reply read (parse + rows) of %.1f MB: %.1f ms (goal < 100 ms)\n",
                  static_cast<double>(resposta.size()) / 1e6, melhor * 1e3);
      if (ContagemMemoria::Disponivel())
        std::printf("  peak heap over the read: %.1f MB = %.2f x the reply (goal < 4)\n",
                    static_cast<double>(pico) / 1e6,
                    static_cast<double>(pico) / static_cast<double>(resposta.size()));
      else
        std::printf("  peak heap: not measured in this build (sanitizers own malloc)\n");
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_faturamento: %s\n", e.what());
    return 1;
  }
}
