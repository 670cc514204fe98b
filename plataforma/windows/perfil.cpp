#include "plataforma/perfil.h"

#include <windows.h>

#include "plataforma/windows/texto.h"

using lumiford::windows::Largo;

struct ArquivoPerfil::Impl {
  std::wstring caminho;
};

ArquivoPerfil::ArquivoPerfil(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ArquivoPerfil::~ArquivoPerfil() = default;
ArquivoPerfil::ArquivoPerfil(ArquivoPerfil&&) noexcept = default;
ArquivoPerfil& ArquivoPerfil::operator=(ArquivoPerfil&&) noexcept = default;

// The profile functions read the file anew at every call.
ArquivoPerfil ArquivoPerfil::Abrir(const std::string& caminho) {
  return ArquivoPerfil(std::make_unique<Impl>(Impl{Largo(caminho)}));
}

std::string ArquivoPerfil::Valor(const std::string& secao, const std::string& chave) const {
  wchar_t valor[2048];
  DWORD n = ::GetPrivateProfileStringW(Largo(secao).c_str(), Largo(chave).c_str(), L"", valor, 2048,
                                       impl_->caminho.c_str());
  // The 2047 units may end half-way through a character: it is not taken.
  if (n > 0 && valor[n - 1] >= 0xD800 && valor[n - 1] <= 0xDBFF) --n;
  return lumiford::windows::Utf8(std::wstring_view(valor, n));
}
