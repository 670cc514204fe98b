#include "tests/support/outro_processo.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace lumiford::teste {

ArquivoAbertoEmOutroProcesso::ArquivoAbertoEmOutroProcesso(const std::string& caminho, int flags,
                                                           std::string ultimas_palavras)
    : ultimas_palavras_(std::move(ultimas_palavras)) {
  int pronto[2], fim[2];
  if (::pipe(pronto) != 0 || ::pipe(fim) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pronto[0]);
    ::close(fim[1]);
    const int fd = ::open(caminho.c_str(), flags);
    char c = fd >= 0 ? 'y' : 'n';
    (void)!::write(pronto[1], &c, 1);
    (void)!::read(fim[0], &c, 1);
    if (fd >= 0 && !ultimas_palavras_.empty()) (void)!::write(fd, ultimas_palavras_.data(), ultimas_palavras_.size());
    ::_exit(0);
  }
  processo_ = pid;
  ::close(pronto[1]);
  ::close(fim[0]);
  fim_ = fim[1];
  char c = 0;
  (void)!::read(pronto[0], &c, 1);
  ::close(pronto[0]);
  aberto_ = c == 'y';
}

ArquivoAbertoEmOutroProcesso::~ArquivoAbertoEmOutroProcesso() { Soltar(); }

void ArquivoAbertoEmOutroProcesso::Soltar() {
  if (processo_ <= 0) return;
  ::close(static_cast<int>(fim_));
  int status = 0;
  ::waitpid(static_cast<pid_t>(processo_), &status, 0);
  processo_ = -1;
}

}  // namespace lumiford::teste
