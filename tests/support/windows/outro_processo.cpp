#include "tests/support/outro_processo.h"

#include <windows.h>

#include <filesystem>

#include "plataforma/caminhos.h"

namespace lumiford::teste {

ArquivoAbertoEmOutroProcesso::ArquivoAbertoEmOutroProcesso(const std::string& caminho, int flags,
                                                           std::string ultimas_palavras)
    : ultimas_palavras_(std::move(ultimas_palavras)) {
  const bool escrita = (flags & (O_WRONLY | O_RDWR)) != 0;
  DWORD acesso = escrita ? GENERIC_WRITE : GENERIC_READ;
  if (flags & O_APPEND) acesso = FILE_APPEND_DATA;
  const HANDLE h = ::CreateFileW(CaminhoUtf8(caminho).wstring().c_str(), acesso,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  aberto_ = h != INVALID_HANDLE_VALUE;
  if (aberto_) processo_ = reinterpret_cast<std::intptr_t>(h);
}

ArquivoAbertoEmOutroProcesso::~ArquivoAbertoEmOutroProcesso() { Soltar(); }

void ArquivoAbertoEmOutroProcesso::Soltar() {
  if (processo_ == -1) return;
  const HANDLE h = reinterpret_cast<HANDLE>(processo_);
  DWORD escritos = 0;
  if (!ultimas_palavras_.empty())
    ::WriteFile(h, ultimas_palavras_.data(), static_cast<DWORD>(ultimas_palavras_.size()), &escritos, nullptr);
  ::CloseHandle(h);
  processo_ = -1;
}

}  // namespace lumiford::teste
