#include "plataforma/mensagens.h"

#include <windows.h>

#include <filesystem>
#include <iostream>

#include "plataforma/executavel.h"
#include "plataforma/windows/texto.h"

namespace {

std::wstring Titulo() {
  try {
    return std::filesystem::path(lumiford::windows::Largo(CaminhoExecutavel())).stem().wstring();
  } catch (...) {
    return L"lumiford_financeiro";
  }
}

// A script that installs (or a test) reads the text on its console or file;
// without a display the box returns at once.
void Mostrar(const std::string& texto, std::ostream& saida, UINT icone) {
  saida << texto << std::endl;
  ::MessageBoxW(nullptr, lumiford::windows::Largo(texto).c_str(), Titulo().c_str(), MB_OK | icone | MB_SETFOREGROUND);
}

}  // namespace

void MostrarInformacao(const std::string& texto) { Mostrar(texto, std::cout, MB_ICONINFORMATION); }

void MostrarErro(const std::string& texto) { Mostrar(texto, std::cerr, MB_ICONERROR); }

void MostrarAviso(const std::string& texto) { Mostrar(texto, std::cerr, MB_ICONWARNING); }
