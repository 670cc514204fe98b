#include "plataforma/perfil.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "plataforma/windows/texto.h"

using lumiford::windows::Largo;

namespace {

constexpr DWORD kMaximoValor = 2047;  // UTF-16 units of a value

// A file in UTF-8 without a byte-order mark, as editors save it today: the
// profile functions read it in the ANSI code page. Its values are turned
// back into their bytes and read as UTF-8.
bool Utf8SemMarca(const std::wstring& caminho) {
  std::ifstream arquivo(std::filesystem::path(caminho), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(arquivo)), std::istreambuf_iterator<char>());
  if (bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) return false;
  bool outros = false;
  for (unsigned char c : bytes) outros = outros || c >= 0x80;
  return outros && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0) > 0;
}

std::wstring DeAnsiParaUtf8(const std::wstring& lido) {
  if (lido.empty()) return lido;
  const int n = ::WideCharToMultiByte(CP_ACP, 0, lido.data(), static_cast<int>(lido.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, lido.data(), static_cast<int>(lido.size()), bytes.data(), n, nullptr, nullptr);
  return Largo(bytes);
}

}  // namespace

struct ArquivoPerfil::Impl {
  std::wstring caminho;
  bool utf8 = false;
};

ArquivoPerfil::ArquivoPerfil(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ArquivoPerfil::~ArquivoPerfil() = default;
ArquivoPerfil::ArquivoPerfil(ArquivoPerfil&&) noexcept = default;
ArquivoPerfil& ArquivoPerfil::operator=(ArquivoPerfil&&) noexcept = default;

// The profile functions read the file anew at every call.
ArquivoPerfil ArquivoPerfil::Abrir(const std::string& caminho) {
  auto impl = std::make_unique<Impl>();
  impl->caminho = Largo(caminho);
  impl->utf8 = Utf8SemMarca(impl->caminho);
  return ArquivoPerfil(std::move(impl));
}

std::string ArquivoPerfil::Valor(const std::string& secao, const std::string& chave) const {
  // A UTF-8 value is cut after its conversion: room for all its bytes first.
  std::wstring valor(impl_->utf8 ? 4 * kMaximoValor + 1 : kMaximoValor + 1, L'\0');
  const DWORD n = ::GetPrivateProfileStringW(Largo(secao).c_str(), Largo(chave).c_str(), L"", valor.data(),
                                             static_cast<DWORD>(valor.size()), impl_->caminho.c_str());
  valor.resize(n);
  if (impl_->utf8) valor = DeAnsiParaUtf8(valor);
  if (valor.size() > kMaximoValor) valor.resize(kMaximoValor);
  // The limit may fall half-way through a character: it is not taken.
  if (!valor.empty() && valor.back() >= 0xD800 && valor.back() <= 0xDBFF) valor.pop_back();
  return lumiford::windows::Utf8(valor);
}
