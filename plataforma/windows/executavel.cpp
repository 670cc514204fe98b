#include "plataforma/executavel.h"

#include <windows.h>

#include <mutex>
#include <system_error>

#include "plataforma/windows/texto.h"

namespace {

std::mutex mutex_substituto;
std::string diretorio_substituto;

}  // namespace

std::string CaminhoExecutavel() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "GetModuleFileNameW");
    if (n < buffer.size()) return lumiford::windows::Utf8(std::wstring_view(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string DiretorioDoExecutavel() {
  {
    std::lock_guard trava(mutex_substituto);
    if (!diretorio_substituto.empty()) return diretorio_substituto;
  }
  const std::string caminho = CaminhoExecutavel();
  const auto barra = caminho.find_last_of("\\/");
  if (barra == std::string::npos) return ".";
  // The root of a drive keeps its separator: C:\ .
  if (barra == 2 && caminho[1] == ':') return caminho.substr(0, 3);
  return caminho.substr(0, barra);
}

void SubstituirDiretorioExecutavel(const std::string& diretorio) {
  std::lock_guard trava(mutex_substituto);
  diretorio_substituto = diretorio;
}
