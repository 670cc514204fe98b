#include "plataforma/registro_eventos.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "global/funcoes.h"
#include "plataforma/windows/texto.h"

namespace {
std::mutex mutexRegistro;
}

// One error entry in the Application log under the source's name; and the
// same line on standard error when the process has one (a console, a run
// whose output is redirected; a service has none). An error may name an
// address: no access token goes out whole.
void RegistrarErroEvento(const std::string& origem, const std::string& mensagem) {
  try {
    const std::string texto = MascararToken(mensagem);
    std::lock_guard trava(mutexRegistro);
    const std::wstring fonte = lumiford::windows::Largo(origem);
    const std::wstring mensagem = lumiford::windows::Largo(texto);
    if (HANDLE registro = ::RegisterEventSourceW(nullptr, fonte.c_str())) {
      LPCWSTR textos[] = {mensagem.c_str()};
      ::ReportEventW(registro, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, textos, nullptr);
      ::DeregisterEventSource(registro);
    }
    // Without a standard error (a service) the write just fails.
    const std::string linha = origem + ": " + texto + "\n";
    std::fwrite(linha.data(), 1, linha.size(), stderr);
    std::fflush(stderr);
  } catch (...) {
  }
}
