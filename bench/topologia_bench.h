// Where a database benchmark reaches its databases: through the engine in
// this process (a plain path, no server running), or through a Firebird
// server of the benchmark's own on loopback, by address ("127.0.0.1/port:
// path"), as the service reaches the ERP's databases in production. Both
// sides of a comparison reach them the same way.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/banco_teste.h"
#include "tests/support/servidor_firebird.h"

namespace lumiford::bench {

using lumiford::teste::Topologia;

// LUMIFORD_BENCH_BANCO: "servidor", "embutido", or both (the default; the
// server first).
inline std::vector<Topologia> Topologias() {
  const char* v = std::getenv("LUMIFORD_BENCH_BANCO");
  const std::string escolha = v ? v : "";
  if (escolha == "servidor") return {Topologia::ServidorHostPorta};
  if (escolha == "embutido") return {Topologia::Embutido};
  if (escolha.empty() || escolha == "ambos") return {Topologia::ServidorHostPorta, Topologia::Embutido};
  throw std::runtime_error("LUMIFORD_BENCH_BANCO: servidor, embutido or ambos, not \"" + escolha + "\"");
}

inline const char* Descricao(Topologia t) {
  return t == Topologia::Embutido ? "embedded engine (plain path, no server running)"
                                  : "Firebird server on loopback (127.0.0.1/port:path)";
}

// A database file of the environment as both sides reach it.
inline std::string Alcance(const teste::AmbienteServico& amb, const std::string& arquivo) {
  const teste::ServidorFirebird* servidor = amb.ServidorBanco();
  return servidor ? servidor->Prefixo() + arquivo : arquivo;
}

// CPU time (user + system) of another process, from /proc; 0 when there is none.
inline double SegundosCpuDe(pid_t pid) {
  if (pid <= 0) return 0;
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char linha[1024];
  const bool lida = std::fgets(linha, sizeof linha, f) != nullptr;
  std::fclose(f);
  if (!lida) return 0;
  // The fields after the command's name, which is in parentheses.
  const char* p = std::strrchr(linha, ')');
  if (!p) return 0;
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The server's CPU, for a side's "other process" time; 0 with the engine here.
inline double SegundosCpuServidor(const teste::AmbienteServico& amb) {
  const teste::ServidorFirebird* servidor = amb.ServidorBanco();
  return servidor ? SegundosCpuDe(servidor->Pid()) : 0;
}

}  // namespace lumiford::bench
