#include "plataforma/bibliotecas.h"

#include <windows.h>

#include <mutex>
#include <stdexcept>

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

}  // namespace

Firebird::IMaster* InterfaceMestreFirebird() {
  static std::mutex mutex;
  static Firebird::IMaster* mestre = nullptr;
  std::lock_guard trava(mutex);
  if (mestre) return mestre;

  // Beside the executable first (its own dependencies then come from its
  // folder too), then the system's search path without the working
  // directory: a library dropped there is never loaded. Never unloaded.
  ::SetDllDirectoryW(L"");
  HMODULE biblioteca = nullptr;
  const std::string diretorio = DiretorioDoModulo();
  if (!diretorio.empty())
    biblioteca = ::LoadLibraryExW(lumiford::windows::Largo(diretorio + "\\fbclient.dll").c_str(), nullptr,
                                  LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!biblioteca) biblioteca = ::LoadLibraryExW(L"fbclient.dll", nullptr, 0);
  if (!biblioteca) {
    const ErroSistema erro(static_cast<int>(::GetLastError()));
    throw std::runtime_error("Não foi possível carregar a biblioteca cliente do Firebird, fbclient.dll (procurada em " +
                             diretorio + " e no caminho de busca do sistema): " + erro.what());
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
