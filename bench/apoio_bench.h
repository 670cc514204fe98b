// Small things the bench programs share: a stopwatch, sizes from the
// environment, and the heap counter of the programs that measure memory.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include <time.h>

namespace lumiford::bench {

using Relogio = std::chrono::steady_clock;

inline double Segundos(Relogio::time_point inicio) {
  return std::chrono::duration<double>(Relogio::now() - inicio).count();
}

// CPU time of the whole process (every thread, the embedded engine's too).
inline double SegundosCpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A size of the run, overridable for a quick try (e.g. LUMIFORD_BENCH_ITENS=1000).
inline long Tamanho(const char* variavel, long padrao) {
  const char* v = std::getenv(variavel);
  if (!v || !*v) return padrao;
  const long n = std::strtol(v, nullptr, 10);
  return n > 0 ? n : padrao;
}

// Heap bytes in use and the highest mark since the last reset; available only
// when the program is built with the counting malloc (not under the sanitizers,
// which bring their own).
struct ContagemMemoria {
  static bool Disponivel();
  static std::int64_t EmUso();
  static std::int64_t Pico();
  static void ZerarPico();
};

// Best wall and CPU time of one side of a comparison.
struct MelhorTempo {
  double parede = 1e9;
  double cpu = 1e9;
  double cpu_outro = 1e9;  // of the process `Lado::cpuOutro` reads (a database server), when set
};

// Runs the service's side and the baseline `rodadas` times each, taking turns
// in going first (a noisy machine then hurts both alike); each side keeps its
// best time. `preparar` is not timed, `medir` is.
struct Lado {
  Lado(std::function<void()> preparar_, std::function<void()> medir_, std::function<void()> depois_)
      : preparar(std::move(preparar_)), medir(std::move(medir_)), depois(std::move(depois_)) {}

  std::function<void()> preparar;
  std::function<void()> medir;
  std::function<void()> depois;
  std::function<double()> cpuOutro;  // CPU seconds of another process taking part, if any
  MelhorTempo melhor;

  void Rodar() {
    preparar();
    const double outro = cpuOutro ? cpuOutro() : 0;
    const auto inicio = Relogio::now();
    const double cpu = SegundosCpu();
    medir();
    melhor.parede = std::min(melhor.parede, Segundos(inicio));
    melhor.cpu = std::min(melhor.cpu, SegundosCpu() - cpu);
    if (cpuOutro) melhor.cpu_outro = std::min(melhor.cpu_outro, cpuOutro() - outro);
    depois();
  }
};

inline void Alternar(int rodadas, Lado& base, Lado& servico) {
  for (int r = 0; r < rodadas; ++r) {
    Lado& primeiro = r % 2 ? servico : base;
    Lado& segundo = r % 2 ? base : servico;
    primeiro.Rodar();
    segundo.Rodar();
  }
}

}  // namespace lumiford::bench
