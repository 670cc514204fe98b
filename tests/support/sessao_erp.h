// An ERP user working on the same database through the Firebird server: an
// isql-fb session of its own, fed statement by statement, whose transaction
// stays open (and its row locks held) until it commits or rolls back, as the
// ERP's screens do.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

extern char** environ;

namespace lumiford::teste {

class SessaoErp {
 public:
  // banco: a path through the server ("127.0.0.1/<port>:/.../DADOS.FDB").
  SessaoErp(const std::string& banco, const std::filesystem::path& pasta) : saida_(pasta / "isql_erp.txt") {
    ::signal(SIGPIPE, SIG_IGN);  // an isql that died makes a write fail, not the test
    int tubo[2];
    if (::pipe2(tubo, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, tubo[0], 0);
    posix_spawn_file_actions_addopen(&acoes, 1, saida_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&acoes, 1, 2);
    std::string programa = "isql-fb", q = "-q", u = "-u", usuario = "sysdba", p = "-p", senha = "bluefjord",
                m = "-m", caminho = banco;
    char* argv[] = {programa.data(), q.data(), m.data(), u.data(), usuario.data(), p.data(), senha.data(),
                    caminho.data(), nullptr};
    const int erro = posix_spawnp(&pid_, programa.c_str(), &acoes, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&acoes);
    ::close(tubo[0]);
    if (erro != 0) {
      ::close(tubo[1]);
      throw std::system_error(erro, std::generic_category(), "isql-fb");
    }
    entrada_ = tubo[1];
  }
  ~SessaoErp() {
    if (entrada_ >= 0) {
      Escrever("ROLLBACK;\nQUIT;\n");
      ::close(entrada_);
    }
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > limite) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  SessaoErp(const SessaoErp&) = delete;
  SessaoErp& operator=(const SessaoErp&) = delete;

  // Runs one statement and waits, up to the limit, until isql has done it;
  // false when it did not finish in time. Errors show in Saida().
  bool Executar(const std::string& sql, std::chrono::milliseconds limite = std::chrono::seconds(20)) {
    const std::string marca = "feito-" + std::to_string(++comandos_);
    Escrever(sql + ";\nSELECT '" + marca + "' FROM RDB$DATABASE;\n");
    const auto fim = std::chrono::steady_clock::now() + limite;
    while (Saida().find(marca) == std::string::npos) {
      if (std::chrono::steady_clock::now() > fim) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  bool Confirmar() { return Executar("COMMIT"); }
  bool Desfazer() { return Executar("ROLLBACK"); }

  std::string Saida() const {
    std::ifstream arquivo(saida_, std::ios::binary);
    std::ostringstream texto;
    texto << arquivo.rdbuf();
    return texto.str();
  }
  // isql's error lines ("Statement failed, SQLSTATE = ...") so far.
  bool TeveErro() const { return Saida().find("Statement failed") != std::string::npos; }

 private:
  void Escrever(const std::string& texto) {
    std::size_t feito = 0;
    while (feito < texto.size()) {
      const ssize_t n = ::write(entrada_, texto.data() + feito, texto.size() - feito);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "isql-fb stdin");
      }
      feito += static_cast<std::size_t>(n);
    }
  }
  std::filesystem::path saida_;
  pid_t pid_ = -1;
  int entrada_ = -1;
  int comandos_ = 0;
};

}  // namespace lumiford::teste
