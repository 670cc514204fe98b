// Cost of one GravarLog call on an empty log and on a large one: a line must
// cost the same whatever the size of the file already written.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "global/log.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"

namespace {

// A log in the form the writer leaves it: the byte-order mark, then lines
// ending in CR LF.
void CriarLog(const std::string& caminho, std::uint64_t bytes) {
  std::ofstream arquivo(caminho, std::ios::binary | std::ios::trunc);
  arquivo << "\xEF\xBB\xBF";
  std::string bloco;
  for (int i = 0; bloco.size() < (1u << 20); ++i)
    bloco += "09/12/2026 14:05:09: Retorno: fatura " + std::to_string(i) + " enviada com sucesso.\r\n";
  for (std::uint64_t escritos = 3; escritos < bytes; escritos += bloco.size()) arquivo << bloco;
}

void BM_GravarLog(benchmark::State& state) {
  const auto megabytes = static_cast<std::uint64_t>(state.range(0));
  lumiford::teste::PastaTemporaria pasta{"bench-log"};
  if (megabytes > 0) CriarLog(pasta / "Log.txt", megabytes << 20);
  SubstituirDiretorioExecutavel(pasta.str());

  // The first call of a process reads the file once whole; the lines after it are what we measure.
  GravarLog("Service - Start");
  for (auto _ : state) GravarLog("Retorno: fatura 123456 enviada com sucesso.");
  state.SetItemsProcessed(state.iterations());
  SubstituirDiretorioExecutavel("");
}

// The one-time cost of the first call on a large log written by someone
// else (no byte-order mark, LF line ends): one full normalising rewrite.
void BM_PrimeiraChamadaReescreve(benchmark::State& state) {
  const auto megabytes = static_cast<std::uint64_t>(state.range(0));
  lumiford::teste::PastaTemporaria pasta{"bench-log"};
  SubstituirDiretorioExecutavel(pasta.str());
  std::string bloco;
  for (int i = 0; bloco.size() < (1u << 20); ++i) bloco += "linha " + std::to_string(i) + "\n";
  for (auto _ : state) {
    state.PauseTiming();
    {
      std::ofstream arquivo(pasta / "Log.txt", std::ios::binary | std::ios::trunc);
      for (std::uint64_t i = 0; i < megabytes; ++i) arquivo << bloco;
    }
    state.ResumeTiming();
    GravarLog("Service - Start");
  }
  SubstituirDiretorioExecutavel("");
}

}  // namespace

BENCHMARK(BM_GravarLog)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrimeiraChamadaReescreve)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
