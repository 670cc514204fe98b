#include "tests/support/servidor_firebird.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/porta_reservada.h"

extern char** environ;

namespace fs = std::filesystem;

namespace lumiford::teste {

namespace {

const std::string kScript = std::string(LUMIFORD_SCRIPTS_DIR) + "/firebird/servidor.sh";

void Script(const std::string& argumentos) {
  const std::string comando = "bash '" + kScript + "' " + argumentos;
  if (std::system(comando.c_str()) != 0) throw std::runtime_error("falhou: " + comando);
}

// The settings every test process starts with: the loopback provider looks
// at a port held closed for the life of the process, where the tests' own
// server listens while one runs.
struct ConfiguracaoProcesso {
  PortaReservada porta;
  PastaTemporaria pasta{"lumiford-fbcliente"};
  ConfiguracaoProcesso() {
    Script("configurar '" + pasta.str() + "' " + std::to_string(porta.Porta()));
    ::setenv("FIREBIRD", (pasta.caminho() / "conf").c_str(), 1);
  }
};
const ConfiguracaoProcesso& Configuracao() {
  static const ConfiguracaoProcesso configuracao;
  return configuracao;
}
// Made when the test program starts, before any database call.
[[maybe_unused]] const ConfiguracaoProcesso& configuracao_inicial = Configuracao();

bool Responde(std::uint16_t porta) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in endereco{};
  endereco.sin_family = AF_INET;
  endereco.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  endereco.sin_port = htons(porta);
  const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

std::string LerTexto(const fs::path& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream texto;
  texto << arquivo.rdbuf();
  return texto.str();
}

// The security database (SYSDBA with the service's password) is made once
// per build and copied for every server.
fs::path ModeloSeguranca() {
  // A changed script gets a folder of its own, so a stale database is never used.
  std::uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : LerTexto(kScript)) h = (h ^ c) * 1099511628211ull;
  char nome[40];
  std::snprintf(nome, sizeof nome, "servidor-%016llx", static_cast<unsigned long long>(h));
  const fs::path base = fs::path(LUMIFORD_BUILD_DIR) / "modelos_banco" / nome;
  fs::create_directories(base);
  const fs::path arquivo = base / "security3.fdb";
  const int trava = ::open((base / ".trava").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (trava < 0 || ::flock(trava, LOCK_EX) != 0) throw std::system_error(errno, std::generic_category(), "trava");
  try {
    if (!fs::exists(arquivo)) Script("preparar '" + base.string() + "' 0");
  } catch (...) {
    ::close(trava);
    throw;
  }
  ::close(trava);
  return arquivo;
}


// The server listening on the process's port, if any.
ServidorFirebird* no_ar = nullptr;

std::shared_ptr<ServidorFirebird>& Compartilhado() {
  static std::shared_ptr<ServidorFirebird> servidor;
  return servidor;
}

}  // namespace

std::string NomeTopologia(Topologia topologia) {
  switch (topologia) {
    case Topologia::Embutido: return "Embutido";
    case Topologia::ServidorCaminhoSimples: return "ServidorCaminhoSimples";
    case Topologia::ServidorHostPorta: return "ServidorHostPorta";
  }
  return "?";
}

void PrepararClienteFirebird() { Configuracao(); }

ServidorFirebird::ServidorFirebird() {
  const ConfiguracaoProcesso& configuracao = Configuracao();
  porta_ = configuracao.porta.Porta();
  const fs::path seguranca = configuracao.pasta.caminho() / "security3.fdb";
  if (!fs::exists(seguranca)) fs::copy_file(ModeloSeguranca(), seguranca);
  fs::create_directories(pasta_.caminho() / "lock");
  fs::create_directories(pasta_.caminho() / "tmp");
  Iniciar();
}

ServidorFirebird::~ServidorFirebird() { Parar(); }

std::string ServidorFirebird::Prefixo() const { return "127.0.0.1/" + std::to_string(porta_) + ":"; }

void ServidorFirebird::Iniciar() {
  if (pid_ > 0) return;
  if (no_ar) no_ar->Parar();
  std::vector<std::string> ambiente;
  for (char** e = environ; *e; ++e) ambiente.emplace_back(*e);
  ambiente.push_back("FIREBIRD=" + (Configuracao().pasta.caminho() / "conf").string());
  ambiente.push_back("FIREBIRD_LOCK=" + (pasta_.caminho() / "lock").string());
  ambiente.push_back("FIREBIRD_TMP=" + (pasta_.caminho() / "tmp").string());
  std::vector<char*> env;
  for (auto& v : ambiente) env.push_back(v.data());
  env.push_back(nullptr);
  // The server ends with the test process, also when that is killed.
  std::string programa = "/usr/bin/setpriv", morte = "--pdeathsig", sinal = "KILL", servidor = "/usr/sbin/firebird";
  char* argv[] = {programa.data(), morte.data(), sinal.data(), servidor.data(), nullptr};

  const std::string log = (pasta_.caminho() / "servidor.log").string();
  posix_spawn_file_actions_t acoes;
  posix_spawn_file_actions_init(&acoes);
  posix_spawn_file_actions_addopen(&acoes, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&acoes, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&acoes, 1, 2);
  posix_spawnattr_t atributos;
  posix_spawnattr_init(&atributos);
  sigset_t vazio;
  sigemptyset(&vazio);
  posix_spawnattr_setsigmask(&atributos, &vazio);
  posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSIGMASK);
  const int erro = posix_spawn(&pid_, programa.c_str(), &acoes, &atributos, argv, env.data());
  posix_spawn_file_actions_destroy(&acoes);
  posix_spawnattr_destroy(&atributos);
  if (erro != 0) {
    pid_ = -1;
    throw std::system_error(erro, std::generic_category(), "posix_spawn " + programa);
  }
  const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Responde(porta_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > limite) {
      Matar();
      throw std::runtime_error("o servidor Firebird não iniciou na porta " + std::to_string(porta_) + ":\n" +
                               LerTexto(log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  no_ar = this;
}

void ServidorFirebird::Parar() {
  if (pid_ <= 0) return;
  if (no_ar == this) no_ar = nullptr;
  ::kill(pid_, SIGTERM);
  const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > limite) {
      Matar();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

void ServidorFirebird::Matar() {
  if (pid_ <= 0) return;
  if (no_ar == this) no_ar = nullptr;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::shared_ptr<ServidorFirebird> ServidorCompartilhado() {
  auto& servidor = Compartilhado();
  if (!servidor)
    servidor = std::make_shared<ServidorFirebird>();
  else
    servidor->Iniciar();
  return servidor;
}

TopologiaBanco::TopologiaBanco(Topologia topologia) : topologia_(topologia) {
  if (topologia_ != Topologia::Embutido) {
    servidor_ = ServidorCompartilhado();
  } else if (no_ar) {
    // A plain path must find no server here.
    no_ar->Parar();
  }
}

std::string TopologiaBanco::ValorServidor(const std::string& pasta) const {
  if (topologia_ == Topologia::ServidorHostPorta) return servidor_->Prefixo() + pasta;
  return pasta;
}

}  // namespace lumiford::teste
