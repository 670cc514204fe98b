// A child process that opens a file and keeps it open until released: what
// another program holding a boleto or the log open for writing looks like.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace lumiford::teste {

class ArquivoAbertoEmOutroProcesso {
 public:
  // ultimas_palavras: written through the open descriptor when released.
  ArquivoAbertoEmOutroProcesso(const std::string& caminho, int flags, std::string ultimas_palavras = {}) {
    int pronto[2], fim[2];
    if (::pipe(pronto) != 0 || ::pipe(fim) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pronto[0]);
      ::close(fim[1]);
      const int fd = ::open(caminho.c_str(), flags);
      char c = fd >= 0 ? 'y' : 'n';
      (void)!::write(pronto[1], &c, 1);
      (void)!::read(fim[0], &c, 1);
      if (fd >= 0 && !ultimas_palavras.empty()) (void)!::write(fd, ultimas_palavras.data(), ultimas_palavras.size());
      ::_exit(0);
    }
    ::close(pronto[1]);
    ::close(fim[0]);
    fim_ = fim[1];
    char c = 0;
    (void)!::read(pronto[0], &c, 1);
    ::close(pronto[0]);
    aberto_ = c == 'y';
  }
  ~ArquivoAbertoEmOutroProcesso() { Soltar(); }
  ArquivoAbertoEmOutroProcesso(const ArquivoAbertoEmOutroProcesso&) = delete;
  ArquivoAbertoEmOutroProcesso& operator=(const ArquivoAbertoEmOutroProcesso&) = delete;

  bool Aberto() const { return aberto_; }
  // Lets the child write its last words, close the file and end.
  void Soltar() {
    if (pid_ <= 0) return;
    ::close(fim_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fim_ = -1;
  bool aberto_ = false;
};

}  // namespace lumiford::teste
