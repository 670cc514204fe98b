// Where the running executable lives: the settings file, the log and the Req
// directory are all beside it, whatever the working directory is.
#pragma once

#include <filesystem>
#include <string>

// Full path of the running executable.
std::string CaminhoExecutavel();

// The executable's file name, extension included where it has one: the event
// source of the errors that are not the service's lifecycle.
inline std::string NomeArquivoExecutavel() {
  try {
    return std::filesystem::path(CaminhoExecutavel()).filename().string();
  } catch (...) {
    return "lumiford_financeiro";
  }
}

// Directory of the running executable, or the one set by
// SubstituirDiretorioExecutavel.
std::string DiretorioDoExecutavel();

// Points the service at another directory (tests run it in a temporary one);
// an empty text goes back to the executable's own directory.
void SubstituirDiretorioExecutavel(const std::string& diretorio);
