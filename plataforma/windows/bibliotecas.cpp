#include "plataforma/bibliotecas.h"

#include <windows.h>

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "plataforma/executavel.h"
#include "plataforma/gerenciador_servicos.h"
#include "plataforma/windows/texto.h"

namespace {

using ObterMestre = Firebird::IMaster*(__stdcall*)();

std::string DiretorioDoModulo() {
  try {
    const std::string caminho = CaminhoExecutavel();
    const auto barra = caminho.find_last_of("\\/");
    return barra == std::string::npos ? std::string() : caminho.substr(0, barra);
  } catch (...) {
    return {};
  }
}

// Where fbclient.dll is looked for, in order: beside the executable, the
// system folders, then the folders of PATH; never the working directory
// (a library dropped there is not loaded).
std::vector<std::wstring> LugaresCliente() {
  std::vector<std::wstring> lugares;
  const std::string diretorio = DiretorioDoModulo();
  if (!diretorio.empty()) lugares.push_back(lumiford::windows::Largo(diretorio));
  wchar_t sistema[MAX_PATH];
  if (const UINT n = ::GetSystemDirectoryW(sistema, MAX_PATH); n > 0 && n < MAX_PATH) lugares.emplace_back(sistema, n);
  if (const UINT n = ::GetWindowsDirectoryW(sistema, MAX_PATH); n > 0 && n < MAX_PATH) lugares.emplace_back(sistema, n);
  std::wstring caminho(32767, L'\0');
  caminho.resize(::GetEnvironmentVariableW(L"PATH", caminho.data(), static_cast<DWORD>(caminho.size())));
  for (std::size_t inicio = 0; inicio <= caminho.size();) {
    std::size_t fim = caminho.find(L';', inicio);
    if (fim == std::wstring::npos) fim = caminho.size();
    std::wstring pasta = caminho.substr(inicio, fim - inicio);
    if (pasta.size() >= 2 && pasta.front() == L'"' && pasta.back() == L'"') pasta = pasta.substr(1, pasta.size() - 2);
    if (!pasta.empty() && std::filesystem::path(pasta).is_absolute()) lugares.push_back(pasta);
    inicio = fim + 1;
  }
  return lugares;
}

}  // namespace

Firebird::IMaster* InterfaceMestreFirebird() {
  static std::mutex mutex;
  static Firebird::IMaster* mestre = nullptr;
  std::lock_guard trava(mutex);
  if (mestre) return mestre;

  // Each by its full path: its own dependencies then come from its folder
  // too. Never unloaded.
  HMODULE biblioteca = nullptr;
  DWORD primeiroErro = 0;
  for (const std::wstring& pasta : LugaresCliente()) {
    biblioteca = ::LoadLibraryExW((pasta + L"\\fbclient.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (biblioteca) break;
    if (primeiroErro == 0) primeiroErro = ::GetLastError();
  }
  if (!biblioteca) {
    const ErroSistema erro(static_cast<int>(primeiroErro));
    throw std::runtime_error("Não foi possível carregar a biblioteca cliente do Firebird, fbclient.dll (procurada em " +
                             DiretorioDoModulo() + ", na pasta do sistema e no PATH): " + erro.what());
  }
  const auto obter = reinterpret_cast<ObterMestre>(
      reinterpret_cast<void*>(::GetProcAddress(biblioteca, "fb_get_master_interface")));
  // Another library of that name is let go, so that the right one, once in
  // place, is loaded by a later call.
  if (!obter) {
    ::FreeLibrary(biblioteca);
    throw std::runtime_error(
        "fbclient.dll não tem fb_get_master_interface: não é a biblioteca cliente do Firebird 3 ou mais novo");
  }
  mestre = obter();
  if (!mestre) throw std::runtime_error("fbclient.dll não devolveu a interface do Firebird");
  return mestre;
}

void ManterMotorFirebirdCarregado(const std::string& diretorio_plugins) {
  // The handle is never closed, on purpose.
  ::LoadLibraryExW(lumiford::windows::Largo(diretorio_plugins + "\\engine12.dll").c_str(), nullptr,
                   LOAD_WITH_ALTERED_SEARCH_PATH);
}
