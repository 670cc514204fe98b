#include "plataforma/registro_eventos.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "global/funcoes.h"

namespace {

std::mutex mutexRegistro;

// Whether standard error is systemd's journal stream: systemd names the
// stream it connects in JOURNAL_STREAM ("device:inode"). A program started
// by hand from a shell of a service inherits the variable with another
// standard error, and is not taken for one.
bool ErroVaiAoJournal() {
  const char* valor = std::getenv("JOURNAL_STREAM");
  if (!valor || !*valor) return false;
  unsigned long long dispositivo = 0, inode = 0;
  char resto = 0;
  if (std::sscanf(valor, "%llu:%llu%c", &dispositivo, &inode, &resto) != 2) return false;
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return false;
  return static_cast<unsigned long long>(info.st_dev) == dispositivo &&
         static_cast<unsigned long long>(info.st_ino) == inode;
}

void Escrever(const std::string& linha) {
  std::fwrite(linha.data(), 1, linha.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

// Started by hand: syslog (facility daemon, priority err) under the source's
// name, and the same line on standard error for whoever started it. Started
// by systemd, both would land in the journal: the error goes there once, on
// standard error, with the error priority in front ("<3>", which journald
// reads) and on one line, for the journal makes an entry of each line. An
// error may name an address: no access token goes out whole.
void RegistrarErroEvento(const std::string& origem, const std::string& mensagem) {
  try {
    const std::string texto = MascararToken(mensagem);
    std::lock_guard trava(mutexRegistro);
    if (ErroVaiAoJournal()) {
      Escrever("<3>" + origem + ": " + EmUmaLinha(texto) + "\n");
      return;
    }
    // openlog keeps the pointer: the source text lives until closelog.
    ::openlog(origem.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_ERR, "%s", texto.c_str());
    ::closelog();
    Escrever(origem + ": " + texto + "\n");
  } catch (...) {
  }
}
