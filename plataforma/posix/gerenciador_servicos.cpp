#include "plataforma/gerenciador_servicos.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

// Units live in /etc/systemd/system; LUMIFORD_UNIT_DIR points elsewhere (tests
// install into a temporary directory). systemctl is called only when systemd
// is the running init system.

extern char** environ;

ErroSistema::ErroSistema(int codigo, const std::string& mensagem)
    : std::runtime_error("System Error.  Code: " + std::to_string(codigo) + ".\r\n" + mensagem),
      codigo_(codigo) {}

ErroSistema::ErroSistema(int codigo) : ErroSistema(codigo, std::strerror(codigo)) {}

namespace {

bool SystemdAtivo() { return ::access("/run/systemd/system", F_OK) == 0; }

std::string NomeUnidade(const std::string& nome) { return nome + ".service"; }

// A unit name holds letters, digits and ":-_.\"; anything else (a "/" above
// all) would let a name reach outside the unit directory.
void ValidarNome(const std::string& nome) {
  if (nome.empty()) throw ErroSistema(EINVAL);
  for (unsigned char c : nome) {
    if (!(std::isalnum(c) || c == ':' || c == '-' || c == '_' || c == '.' || c == '\\'))
      throw ErroSistema(EINVAL);
  }
}

// One line of a unit file may not break; values come from our own settings.
void ValidarLinha(const std::string& valor) {
  if (valor.find_first_of("\r\n") != std::string::npos) throw ErroSistema(EINVAL);
}

// ExecStart takes a command line: quote a path with blanks, and keep "%"
// (specifiers) and "$" (variables) literal.
std::string CitarComando(const std::string& caminho) {
  std::string saida;
  bool citar = false;
  for (char c : caminho) {
    switch (c) {
      case '%': saida += "%%"; break;
      case '$': saida += "$$"; break;
      case '\\': saida += "\\\\"; citar = true; break;
      case '"': saida += "\\\""; citar = true; break;
      case ' ': case '\t': case '\'': case ';':
        saida += c; citar = true; break;
      default: saida += c;
    }
  }
  return citar ? "\"" + saida + "\"" : saida;
}

void Executar(const std::vector<std::string>& argumentos) {
  std::vector<char*> argv;
  for (const auto& a : argumentos) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int erro = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (erro != 0) throw ErroSistema(erro);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw ErroSistema(errno);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string comando;
    for (const auto& a : argumentos) comando += (comando.empty() ? "" : " ") + a;
    int codigo = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    throw ErroSistema(codigo, comando + " exited with status " + std::to_string(codigo));
  }
}

void EscreverTudo(int fd, const std::string& texto) {
  std::size_t feito = 0;
  while (feito < texto.size()) {
    ssize_t n = ::write(fd, texto.data() + feito, texto.size() - feito);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErroSistema(errno);
    }
    feito += static_cast<std::size_t>(n);
  }
}

std::string LerArquivo(const std::string& caminho) {
  int fd = ::open(caminho.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ErroSistema(errno);
  std::string texto;
  char bloco[4096];
  for (;;) {
    ssize_t n = ::read(fd, bloco, sizeof bloco);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      throw ErroSistema(e);
    }
    if (n == 0) break;
    texto.append(bloco, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return texto;
}

// Writes beside the target and renames, so a unit is never seen half written.
void SubstituirArquivo(const std::string& caminho, const std::string& texto) {
  std::string temporario = caminho + ".tmp";
  int fd = ::open(temporario.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ErroSistema(errno);
  try {
    EscreverTudo(fd, texto);
    if (::fsync(fd) != 0) throw ErroSistema(errno);
  } catch (...) {
    ::close(fd);
    ::unlink(temporario.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(temporario.c_str(), caminho.c_str()) != 0) {
    int e = errno;
    ::unlink(temporario.c_str());
    throw ErroSistema(e);
  }
}

}  // namespace

struct GerenciadorServicos::Impl {
  std::string diretorio;
  bool systemd = false;
  std::string Caminho(const std::string& nome) const { return diretorio + "/" + NomeUnidade(nome); }
};

GerenciadorServicos::GerenciadorServicos() : impl_(std::make_unique<Impl>()) {
  const char* outro = std::getenv("LUMIFORD_UNIT_DIR");
  impl_->diretorio = (outro && *outro) ? outro : "/etc/systemd/system";
  struct stat info {};
  if (::stat(impl_->diretorio.c_str(), &info) != 0) throw ErroSistema(errno);
  if (!S_ISDIR(info.st_mode)) throw ErroSistema(ENOTDIR);
  if (::access(impl_->diretorio.c_str(), W_OK) != 0) throw ErroSistema(errno);
  impl_->systemd = SystemdAtivo();
}

GerenciadorServicos::~GerenciadorServicos() = default;

void GerenciadorServicos::CriarServico(const RegistroServico& registro) {
  ValidarNome(registro.Nome);
  ValidarLinha(registro.NomeExibicao);
  ValidarLinha(registro.Executavel);
  if (registro.Executavel.empty() || registro.Executavel.front() != '/') throw ErroSistema(EINVAL);

  // The description is added later by GravarDescricao, as the first line of [Unit].
  // A stop waits for the row in hand to end (TimeoutStopSec); the longest row
  // takes 5 s to connect, 10 s each for the TLS handshake and the reply, 10 s
  // for a database lock and the 250 ms pause, about 35 s, and a billing row's
  // four statements at most 40 s.
  const std::string unidade =
      "# " + registro.NomeExibicao + "\n"
      "[Unit]\n"
      "X-DisplayName=" + registro.NomeExibicao + "\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" + CitarComando(registro.Executavel) + "\n"
      "TimeoutStopSec=60\n"
      "User=root\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";

  const std::string caminho = impl_->Caminho(registro.Nome);
  int fd = ::open(caminho.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw ErroSistema(errno);
  try {
    EscreverTudo(fd, unidade);
    if (::fsync(fd) != 0) throw ErroSistema(errno);
    if (::close(fd) != 0) {
      fd = -1;
      throw ErroSistema(errno);
    }
    fd = -1;
    if (impl_->systemd) {
      Executar({"systemctl", "daemon-reload"});
      Executar({"systemctl", "enable", NomeUnidade(registro.Nome)});
    }
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(caminho.c_str());
    if (impl_->systemd) {
      try {
        Executar({"systemctl", "daemon-reload"});
      } catch (...) {
      }
    }
    throw;
  }
}

void GerenciadorServicos::ExcluirServico(const std::string& nome) {
  ValidarNome(nome);
  const std::string caminho = impl_->Caminho(nome);
  if (::access(caminho.c_str(), F_OK) != 0) throw ErroSistema(errno);
  if (impl_->systemd) Executar({"systemctl", "disable", NomeUnidade(nome)});
  if (::unlink(caminho.c_str()) != 0) throw ErroSistema(errno);
  if (impl_->systemd) {
    try {
      Executar({"systemctl", "daemon-reload"});
    } catch (...) {
    }
  }
}

bool GerenciadorServicos::GravarDescricao(const std::string& nome, const std::string& descricao) {
  ValidarNome(nome);
  ValidarLinha(descricao);
  const std::string caminho = impl_->Caminho(nome);
  if (::access(caminho.c_str(), F_OK) != 0) return false;
  const std::string texto = LerArquivo(caminho);

  // Rebuilt line by line: any earlier Description of [Unit] gives way.
  std::string saida;
  bool emUnit = false;
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    std::size_t fim = texto.find('\n', inicio);
    std::string linha = texto.substr(inicio, fim == std::string::npos ? std::string::npos : fim - inicio);
    inicio = fim == std::string::npos ? texto.size() : fim + 1;
    if (!linha.empty() && linha.front() == '[') emUnit = linha == "[Unit]";
    if (emUnit && linha.rfind("Description=", 0) == 0) continue;
    saida += linha + "\n";
    if (linha == "[Unit]") saida += "Description=" + descricao + "\n";
  }
  SubstituirArquivo(caminho, saida);
  if (impl_->systemd) Executar({"systemctl", "daemon-reload"});
  return true;
}

std::string GerenciadorServicos::LocalRegistro(const std::string& nome) const { return impl_->Caminho(nome); }

bool GerenciadorServicos::IniciaComSistema() const { return impl_->systemd; }
