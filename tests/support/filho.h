// Another process doing something at the same time as the test: a forked
// child running a function, ended with _exit (no test framework teardown in
// the child). Killed if still running when the object goes.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

namespace lumiford::teste {

class Filho {
 public:
  // corpo's result is the child's exit code; an exception makes it 99.
  explicit Filho(const std::function<int()>& corpo) {
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
      int codigo = 99;
      try {
        codigo = corpo();
      } catch (...) {
      }
      ::_exit(codigo);
    }
  }
  ~Filho() {
    if (!codigo_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Filho(const Filho&) = delete;
  Filho& operator=(const Filho&) = delete;

  pid_t Pid() const { return pid_; }
  void Sinal(int sinal) const { ::kill(pid_, sinal); }
  // Exit code (128 + signal when a signal ended it), or nothing when the
  // child did not end within the limit.
  std::optional<int> Esperar(std::chrono::milliseconds limite = std::chrono::seconds(30)) {
    const auto fim = std::chrono::steady_clock::now() + limite;
    while (!codigo_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        codigo_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > fim) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return codigo_;
  }
  bool Vivo() { return !Esperar(std::chrono::milliseconds(0)).has_value(); }

 private:
  pid_t pid_ = -1;
  std::optional<int> codigo_;
};

}  // namespace lumiford::teste
