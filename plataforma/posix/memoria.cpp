#include "plataforma/memoria.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Hands back to the kernel the pages of the program's and the libraries'
// code and read-only data this process has touched, as the working-set trim
// does on Windows: between runs they only count as resident memory. They come
// back from the files on the next run that needs them. Writable and shared
// mappings are left alone (their pages hold state, not file contents), and
// the kernel itself skips pages other processes also map, and, in recent
// kernels, the files this process neither owns nor may write (the service
// runs as root). A kernel without MADV_PAGEOUT (before 5.4) refuses it, and
// nothing changes.
void DevolverPaginasDeArquivos() {
  std::ifstream mapas("/proc/self/maps");
  std::string linha;
  while (std::getline(mapas, linha)) {
    // "início-fim permissões deslocamento dispositivo inode caminho"
    unsigned long inicio = 0, fim = 0;
    char permissoes[5] = {};
    int caminho = 0;
    if (std::sscanf(linha.c_str(), "%lx-%lx %4s %*s %*s %*s %n", &inicio, &fim, permissoes, &caminho) < 3) continue;
    const bool do_arquivo = caminho > 0 && linha[static_cast<std::size_t>(caminho)] == '/';
    const bool so_leitura_privada = permissoes[1] != 'w' && permissoes[3] == 'p';
    if (!do_arquivo || !so_leitura_privada) continue;
    ::madvise(reinterpret_cast<void*>(inicio), fim - inicio, MADV_PAGEOUT);
  }
}

}  // namespace

void LiberarMemoria() noexcept {
  // Nothing to report if either cannot be done.
  try {
    DevolverPaginasDeArquivos();
  } catch (...) {
  }
  ::malloc_trim(0);  // after the reading above, which used the heap
}
