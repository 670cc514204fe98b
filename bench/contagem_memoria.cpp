// A counting layer over glibc's malloc: every block is weighed by its usable
// size when it is handed out and when it comes back, so the program can read
// the heap's highest mark around a piece of work. Left out under the
// sanitizers, whose runtime owns malloc.
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bench/apoio_bench.h"

#ifdef LUMIFORD_CONTAR_MEMORIA

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<std::int64_t> em_uso{0};
std::atomic<std::int64_t> pico{0};

void Somar(void* p) {
  if (!p) return;
  const auto n = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t agora = em_uso.fetch_add(n, std::memory_order_relaxed) + n;
  std::int64_t anterior = pico.load(std::memory_order_relaxed);
  while (agora > anterior && !pico.compare_exchange_weak(anterior, agora, std::memory_order_relaxed)) {
  }
}

void Subtrair(void* p) {
  if (p) em_uso.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void* malloc(std::size_t n) {
  void* p = __libc_malloc(n);
  Somar(p);
  return p;
}
void* calloc(std::size_t n, std::size_t t) {
  void* p = __libc_calloc(n, t);
  Somar(p);
  return p;
}
void* realloc(void* antigo, std::size_t n) {
  Subtrair(antigo);
  void* p = __libc_realloc(antigo, n);
  // A failed realloc leaves the old block in place.
  Somar(p ? p : (n ? antigo : nullptr));
  return p;
}
void free(void* p) {
  Subtrair(p);
  __libc_free(p);
}
void* memalign(std::size_t alinhamento, std::size_t n) {
  void* p = __libc_memalign(alinhamento, n);
  Somar(p);
  return p;
}
void* aligned_alloc(std::size_t alinhamento, std::size_t n) { return memalign(alinhamento, n); }
int posix_memalign(void** saida, std::size_t alinhamento, std::size_t n) {
  void* p = memalign(alinhamento, n);
  if (!p) return 12;  // ENOMEM
  *saida = p;
  return 0;
}
}

namespace lumiford::bench {
bool ContagemMemoria::Disponivel() { return true; }
std::int64_t ContagemMemoria::EmUso() { return em_uso.load(); }
std::int64_t ContagemMemoria::Pico() { return pico.load(); }
void ContagemMemoria::ZerarPico() { pico.store(em_uso.load()); }
}  // namespace lumiford::bench

#else

namespace lumiford::bench {
bool ContagemMemoria::Disponivel() { return false; }
std::int64_t ContagemMemoria::EmUso() { return 0; }
std::int64_t ContagemMemoria::Pico() { return 0; }
void ContagemMemoria::ZerarPico() {}
}  // namespace lumiford::bench

#endif
