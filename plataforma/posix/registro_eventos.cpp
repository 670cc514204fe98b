#include "plataforma/registro_eventos.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

#include "global/funcoes.h"

namespace {
std::mutex mutexRegistro;
}

// syslog (facility daemon, priority err) under the source's name, and the same
// line on standard error, which journald keeps for the unit. An error may
// name an address: no access token goes out whole.
void RegistrarErroEvento(const std::string& origem, const std::string& mensagem) {
  try {
    const std::string texto = MascararToken(mensagem);
    std::lock_guard trava(mutexRegistro);
    // openlog keeps the pointer: the source text lives until closelog.
    ::openlog(origem.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_ERR, "%s", texto.c_str());
    ::closelog();
    const std::string linha = origem + ": " + texto + "\n";
    std::fwrite(linha.data(), 1, linha.size(), stderr);
    std::fflush(stderr);
  } catch (...) {
  }
}
