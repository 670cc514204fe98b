// Another program that opens a file and keeps it open until released: what a
// program holding a boleto or the log open for writing looks like. On Linux a
// child process; on Windows, where sharing is decided per open handle, a
// handle of this process opened the way other programs open files (shared
// with readers, writers and renames).
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>

namespace lumiford::teste {

class ArquivoAbertoEmOutroProcesso {
 public:
  // flags: O_RDONLY or O_WRONLY, with O_APPEND if wanted.
  // ultimas_palavras: written through the open file when released.
  ArquivoAbertoEmOutroProcesso(const std::string& caminho, int flags, std::string ultimas_palavras = {});
  ~ArquivoAbertoEmOutroProcesso();
  ArquivoAbertoEmOutroProcesso(const ArquivoAbertoEmOutroProcesso&) = delete;
  ArquivoAbertoEmOutroProcesso& operator=(const ArquivoAbertoEmOutroProcesso&) = delete;

  bool Aberto() const { return aberto_; }
  // Lets the holder write its last words, close the file and end.
  void Soltar();

 private:
  std::intptr_t processo_ = -1;
  std::intptr_t fim_ = -1;
  std::string ultimas_palavras_;
  bool aberto_ = false;
};

}  // namespace lumiford::teste
