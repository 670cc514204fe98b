// The settings reader on any bytes: the profile parser on its own, and the
// whole LerConfiguracao on a lumiford.ini written to a temporary directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "dm/win1252.h"
#include "global/ini.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"

namespace {

// Kept in plain storage: the handler that removes it runs after the
// destructors of function-local statics.
char g_diretorio[4096];

const std::string& Diretorio() {
  static const std::string diretorio = [] {
    const std::string modelo = (std::filesystem::temp_directory_path() / "fuzz_ini.XXXXXX").string();
    if (modelo.size() >= sizeof g_diretorio) std::abort();
    modelo.copy(g_diretorio, modelo.size());
    if (!::mkdtemp(g_diretorio)) std::abort();
    std::atexit([] {
      std::error_code ignorado;
      std::filesystem::remove_all(g_diretorio, ignorado);
    });
    SubstituirDiretorioExecutavel(g_diretorio);
    return std::string(g_diretorio);
  }();
  return diretorio;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
  const std::string bytes(reinterpret_cast<const char*>(dados), tamanho);

  const ArquivoIni ini = ArquivoIni::DeBytes(bytes);
  for (const char* chave : {"Empresa", "Lumiford", "Servidor", "Nome_Servidor", "Debug"}) {
    const auto valor = ini.Valor("Lumiford", chave);
    if (valor && valor->size() > 2047) std::abort();  // a value is cut at 2047 characters
    if (valor) (void)InteiroIni(*valor);
  }
  (void)lumiford::win1252::ParaUtf8(bytes);

  const std::string& diretorio = Diretorio();
  {
    std::ofstream arquivo(diretorio + "/lumiford.ini", std::ios::binary | std::ios::trunc);
    arquivo << bytes;
  }
  LerConfiguracao();
  std::filesystem::remove(diretorio + "/Log.txt");
  RestaurarGlobais();
  return 0;
}
