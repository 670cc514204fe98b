// Boleto uploads over HTTPS on loopback, one connection and handshake per
// file as the service makes them (the handshakes after the first resume the
// TLS session): the time per file of a whole EnviarBoletos run (selection,
// files, requests, marking) with the pause after each POST set to zero, that
// is the cost beyond the fixed pause. The simulator runs on a thread of this
// process, so its CPU is counted apart from the client thread's.
#include <boost/asio/ssl.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "api/chamada.h"
#include "api/http.h"
#include "api/multipart.h"
#include "api/ufuncoes_api.h"
#include "bench/apoio_bench.h"
#include "bench/firebird_direto.h"
#include "dm/udm.h"
#include "global/datas.h"
#include "global/funcoes.h"
#include "global/uglobal.h"
#include "tests/support/banco_teste.h"
#include "tests/support/simulador.h"

namespace {

using namespace lumiford::bench;
using lumiford::teste::AmbienteServico;
using lumiford::teste::ConfiguracaoIni;
using lumiford::teste::Resposta;
using lumiford::teste::Simulador;

constexpr int kEmpresa = 7;
constexpr int kNumeroInicial = 1000;

std::string CnpjDe(int n) {
  char d[32];
  std::snprintf(d, sizeof d, "%08d0001%02d", n, n % 100);
  return d;
}

// Company, clients, contracts and receivables, and a PDF of the given size per receivable.
void Semear(const AmbienteServico& amb, int porta, int n, std::size_t tamanho_pdf) {
  {
    FirebirdDireto db(amb.Bancos().dados);
    db.IniciarLote();
    db.Executar(
        "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
        "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN) VALUES (?, 'Empresa', '12.345.678/0001-95', '2', 'https', ?, "
        "'tok-7abc9d2e')",
        {std::int64_t{kEmpresa}, "127.0.0.1:" + std::to_string(porta)});
    for (int i = 0; i < n; ++i) {
      const std::int64_t cliente = 1 + i, numero = kNumeroInicial + i;
      db.Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (?, 'Cliente', ?)",
                  {cliente, FormatarCnpjCpf(CnpjDe(1 + i))});
      db.Executar(
          "INSERT INTO MOV_CONTRATO_MANUTENCAO (EMPRESA, NUMERO, ANO_REFERENCIA, MES_REFERENCIA) VALUES (?, ?, 2025, "
          "'Fevereiro')",
          {std::int64_t{kEmpresa}, numero});
      db.Executar(
          "INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
          "VENCIMENTO, VALOR, SALDO) VALUES (?, 'CM', 'CM', ?, ?, 1, 1, '2025-03-05', '2025-03-10', 150.75, 150.75)",
          {std::int64_t{kEmpresa}, cliente, numero});
    }
    db.ConcluirLote();
  }
  const std::string pdf = "%PDF-1.4\n" + std::string(tamanho_pdf, 'x') + "\n%%EOF\n";
  for (int i = 0; i < n; ++i) {
    const auto pasta = std::filesystem::path(amb.Servidor()) / "Boleto" / "12345678000195" / CnpjDe(1 + i);
    std::filesystem::create_directories(pasta);
    std::ofstream(pasta / ("CM " + std::to_string(kNumeroInicial + i) + "-1.pdf"), std::ios::binary) << pdf;
  }
}

// What one new TLS client context costs once it has read the system's CA
// bundle, as it does at its first certificate check.
double MsPorContexto() {
  namespace ssl = boost::asio::ssl;
  constexpr int vezes = 10;
  const auto inicio = Relogio::now();
  for (int i = 0; i < vezes; ++i) {
    ssl::context contexto(ssl::context::tls_client);
    boost::system::error_code ec;
    contexto.set_default_verify_paths(ec);
    X509_STORE_load_file(SSL_CTX_get_cert_store(contexto.native_handle()), X509_get_default_cert_file());
  }
  return Segundos(inicio) * 1e3 / vezes;
}

// Heap that one such context holds while it lives (the service keeps one);
// negative when the counting malloc is not in this build.
double MbPorContexto() {
  if (!ContagemMemoria::Disponivel()) return -1;
  namespace ssl = boost::asio::ssl;
  const auto antes = ContagemMemoria::EmUso();
  ssl::context contexto(ssl::context::tls_client);
  boost::system::error_code ec;
  contexto.set_default_verify_paths(ec);
  X509_STORE_load_file(SSL_CTX_get_cert_store(contexto.native_handle()), X509_get_default_cert_file());
  return static_cast<double>(ContagemMemoria::EmUso() - antes) / (1024.0 * 1024.0);
}

// CPU seconds of the calling thread: the client's side (the flow, the HTTP
// client, its TLS) when the simulator runs on its own thread.
double CpuDestaLinha() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Wall, client-thread CPU and other-threads CPU (the simulator, the engine) of one pass.
struct Medida {
  double parede = 0, cpu_cliente = 0, cpu_outros = 0;
  void Melhor(const Medida& m) {
    if (parede == 0 || m.parede < parede) *this = m;
  }
};

template <class F>
Medida Medir(F&& f) {
  const auto inicio = Relogio::now();
  const double cpu = SegundosCpu(), cliente = CpuDestaLinha();
  f();
  Medida m;
  m.parede = Segundos(inicio);
  m.cpu_cliente = CpuDestaLinha() - cliente;
  m.cpu_outros = SegundosCpu() - cpu - m.cpu_cliente;
  return m;
}

void Mostrar(const char* oque, const Medida& m, int n) {
  std::printf("  %-44s %6.2f ms wall, %5.2f ms CPU client thread, %5.2f ms CPU other threads\n", oque,
              m.parede * 1e3 / n, m.cpu_cliente * 1e3 / n, m.cpu_outros * 1e3 / n);
}

}  // namespace

int main() {
  try {
    const int n = static_cast<int>(Tamanho("LUMIFORD_BENCH_ARQUIVOS", 200));
    const auto tamanho_pdf = static_cast<std::size_t>(Tamanho("LUMIFORD_BENCH_PDF_BYTES", 60000));
    std::printf("Boleto uploads over HTTPS on loopback: %d files of %zu bytes\n", n, tamanho_pdf);
    DefinirPausaAposPost(std::chrono::milliseconds(0));
    // Inside the issue-date window of the seeded receivables.
    const DataHora momento = std::chrono::local_days{std::chrono::year{2025} / 3 / 15} + std::chrono::hours{10};
    DefinirRelogio([momento] { return momento; });

    Simulador sim(Simulador::Certificado::Confiavel);
    sim.Responder("/financeiro/fatura/documento/boleto",
                  Resposta::Json(R"({"sucess": true, "message": "Boleto recebido"})"));
    ConfiguracaoIni ini;
    ini.empresa = std::to_string(kEmpresa);
    ini.debug = "Nao";
    AmbienteServico amb(ini);
    const std::string ca = amb.DiretorioExe() + "/ca.pem";
    sim.GravarCa(ca);
    ini.servidor = amb.Servidor();
    ini.linhas_extras = {"CertificadoCA=" + ca};
    lumiford::teste::EscreverIni(amb.DiretorioExe(), ini);
    Semear(amb, sim.Porta(), n, tamanho_pdf);

    const int rodadas = static_cast<int>(Tamanho("LUMIFORD_BENCH_RODADAS", 3));
    dm = std::make_unique<Tdm>();
    if (ErroConexao) throw std::runtime_error(MensagemErroConexao);
    // Parts of a run measured apart with the data module's client: a full
    // handshake alone (nothing is read after it, so no session ticket comes
    // to resume), and the POST of one file (connection, handshake, request,
    // reply) without the flow's selection and marking.
    const std::string url = sim.Base() + "/financeiro/fatura/documento/boleto?token_erp=tok-7abc9d2e";
    const std::string arquivo = amb.Servidor() + "/Boleto/12345678000195/" + CnpjDe(1) + "/CM " +
                                std::to_string(kNumeroInicial) + "-1.pdf";
    Medida total, aperto, post;
    std::vector<double> ms_post;
    for (int r = 0; r < rodadas; ++r) {
      aperto.Melhor(Medir([&] {
        for (int i = 0; i < n; ++i) dm->IdHTTP.TestarConexao(url);
      }));
      post.Melhor(Medir([&] {
        for (int i = 0; i < n; ++i) {
          const auto inicio = Relogio::now();
          CorpoMultipart corpo;
          corpo.AdicionarArquivo("arquivo", arquivo, "application/octet-stream");
          PrepararEnvioMultipart(dm->IdHTTP);
          if (PostarMultipart(dm->IdHTTP, url, corpo).empty()) throw std::runtime_error("upload refused");
          ms_post.push_back(Segundos(inicio) * 1e3);
        }
      }));
      if (r > 0)
        lumiford::teste::ExecutarSQL(amb.Bancos().dados, "UPDATE MOV_CONTAS_RECEBER SET STATUS_ENVIO_API = NULL");
      total.Melhor(Medir([] { EnviarBoletos(); }));
    }
    const double t = total.parede;
    dm.reset();

    const std::string enviados = lumiford::teste::ValorSQL(
        amb.Bancos().dados, "SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado'");
    const auto esperadas = static_cast<std::size_t>(2 * n * rodadas);
    if (enviados != std::to_string(n) || sim.Requisicoes().size() != esperadas)
      throw std::runtime_error("sent " + enviados + " of " + std::to_string(n) + " (" +
                               std::to_string(sim.Requisicoes().size()) + " requests)");
    std::printf("  connections (one TLS handshake each): %d over %d rounds, best round kept\n", sim.Conexoes(),
                rodadas);
    std::printf("  whole run: %.3f s; per file beyond the pause: %.2f ms (goal < 10 ms)\n", t, t * 1e3 / n);
    std::printf("  per file (the simulator runs on its own thread of this process):\n");
    Mostrar("whole EnviarBoletos run", total, n);
    Mostrar("POST of one file alone", post, n);
    Mostrar("full TLS handshake alone (connect, close)", aperto, n);
    // A few slow ones among many fast ones are waits on the network stack, not work.
    std::sort(ms_post.begin(), ms_post.end());
    const auto quantil = [&](double q) { return ms_post[static_cast<std::size_t>(q * (ms_post.size() - 1))]; };
    std::printf("  POST of one file alone, every round: median %.2f ms, 90%% %.2f ms, 99%% %.2f ms, max %.2f ms; "
                "%zu of %zu over 10 ms\n",
                quantil(0.5), quantil(0.9), quantil(0.99), ms_post.back(),
                static_cast<std::size_t>(std::count_if(ms_post.begin(), ms_post.end(), [](double v) { return v > 10; })),
                ms_post.size());
    std::printf("  a new TLS client context with the system CA bundle read: %.2f ms, holding %.2f MB of heap\n",
                MsPorContexto(), MbPorContexto());
    DefinirRelogio({});
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_envio: %s\n", e.what());
    return 1;
  }
}
