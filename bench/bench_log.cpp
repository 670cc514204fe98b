// Cost of one GravarLog call on an empty log and on a large one: a line must
// cost the same whatever the size of the file already written.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <fstream>
#include <string>
#include <vector>

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

namespace {

// The console report, keeping the time per line of each log size so that
// the ratio of the two, measured in this one run, can be printed after it.
class RelatorioComRazao : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
        tempos_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  double Tempo(const std::string& nome) const {
    const auto it = tempos_.find(nome);
    return it == tempos_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> tempos_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RelatorioComRazao relatorio;
  benchmark::RunSpecifiedBenchmarks(&relatorio);
  const double vazio = relatorio.Tempo("BM_GravarLog/0");
  const double grande = relatorio.Tempo("BM_GravarLog/100");
  if (vazio > 0 && grande > 0)
    std::printf("GravarLog: one line on a 100 MB log costs %.2f x one line on an empty log (goal < 1.5)\n",
                grande / vazio);
  benchmark::Shutdown();
  return 0;
}
