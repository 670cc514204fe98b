#include "plataforma/gerenciador_servicos.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

// Units live in /etc/systemd/system; LUMIFORD_UNIT_DIR points elsewhere (tests
// install into a temporary directory), and is then also the only folder where
// the Firebird server's unit is looked for. systemctl is called only when
// systemd is the running init system.

extern char** environ;

ErroSistema::ErroSistema(int codigo, const std::string& mensagem)
    : std::runtime_error("System Error.  Code: " + std::to_string(codigo) + ".\r\n" + mensagem),
      codigo_(codigo) {}

ErroSistema::ErroSistema(int codigo) : ErroSistema(codigo, std::strerror(codigo)) {}

namespace {

bool SystemdAtivo() { return ::access("/run/systemd/system", F_OK) == 0; }

std::string NomeUnidade(const std::string& nome) { return nome + ".service"; }

const std::string kChaveDescricao = "X-Description=";

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

// The wait status of the command, run with this process's output.
int Status(const std::vector<std::string>& argumentos) {
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
  return status;
}

// The processes, other than this one, whose program is the file `executavel`
// (the same file, whichever path it was started by).
std::vector<long> ProcessosDoExecutavel(const std::string& executavel) {
  std::vector<long> encontrados;
  struct stat alvo {};
  if (::stat(executavel.c_str(), &alvo) != 0) return encontrados;
  std::error_code erro;
  for (std::filesystem::directory_iterator i("/proc", erro), fim; !erro && i != fim; i.increment(erro)) {
    const std::string nome = i->path().filename().string();
    if (nome.empty() || nome.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::stol(nome);
    if (pid == static_cast<long>(::getpid())) continue;
    struct stat programa {};
    // A process that ended meanwhile, or one this user may not look into, is passed over.
    if (::stat(("/proc/" + nome + "/exe").c_str(), &programa) != 0) continue;
    if (programa.st_dev == alvo.st_dev && programa.st_ino == alvo.st_ino) encontrados.push_back(pid);
  }
  std::sort(encontrados.begin(), encontrados.end());
  return encontrados;
}

void Executar(const std::vector<std::string>& argumentos) {
  const int status = Status(argumentos);
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
  std::vector<std::string> busca;  // where systemd finds the system's units
  bool systemd = false;
  std::string Caminho(const std::string& nome) const { return diretorio + "/" + NomeUnidade(nome); }
  std::vector<std::string> ServidoresFirebird() const;
};

// The Firebird server's units this machine has: the service starts after the
// server, so that its connections go through the server from the first run
// instead of moving to it a minute later.
std::vector<std::string> GerenciadorServicos::Impl::ServidoresFirebird() const {
  static const char* const kUnidades[] = {"firebird3.0.service"};
  std::vector<std::string> presentes;
  for (const char* unidade : kUnidades) {
    for (const auto& pasta : busca) {
      if (::access((pasta + "/" + unidade).c_str(), F_OK) == 0) {
        presentes.emplace_back(unidade);
        break;
      }
    }
  }
  return presentes;
}

GerenciadorServicos::GerenciadorServicos() : impl_(std::make_unique<Impl>()) {
  const char* outro = std::getenv("LUMIFORD_UNIT_DIR");
  impl_->diretorio = (outro && *outro) ? outro : "/etc/systemd/system";
  if (outro && *outro)
    impl_->busca = {impl_->diretorio};
  else
    impl_->busca = {"/etc/systemd/system", "/run/systemd/system", "/usr/local/lib/systemd/system",
                    "/lib/systemd/system", "/usr/lib/systemd/system"};
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

  // systemctl status shows Description: the display name, with the company.
  // The description text is added later by GravarDescricao.
  // A stop waits for the row in hand to end (TimeoutStopSec); the longest row
  // takes 5 s to connect, 10 s each for the TLS handshake and the reply, 10 s
  // for a database lock and the 250 ms pause, about 35 s, and a billing row's
  // four statements at most 40 s. A stop exits with 0 and a start that fails
  // with 1: on-failure brings back a start that failed (a folder not yet
  // writable, say) and a process that died, never one that was stopped.
  std::string depois = "network-online.target";
  for (const auto& servidor : impl_->ServidoresFirebird()) depois += " " + servidor;
  const std::string unidade =
      "# " + registro.NomeExibicao + "\n"
      "[Unit]\n"
      "Description=" + registro.NomeExibicao + "\n"
      "Wants=network-online.target\n"
      "After=" + depois + "\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" + CitarComando(registro.Executavel) + "\n"
      "Restart=on-failure\n"
      "RestartSec=30\n"
      "TimeoutStopSec=60\n"
      "User=root\n"
      "SyslogIdentifier=" + registro.Nome + "\n"
      "NoNewPrivileges=yes\n"
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

  // Description holds the display name; the description text goes beside it
  // in [Unit], as X-Description (systemd passes over X- keys), and an earlier
  // one gives way.
  std::vector<std::string> linhas;
  for (std::size_t inicio = 0; inicio < texto.size();) {
    const std::size_t fim = texto.find('\n', inicio);
    linhas.push_back(texto.substr(inicio, fim == std::string::npos ? std::string::npos : fim - inicio));
    inicio = fim == std::string::npos ? texto.size() : fim + 1;
  }
  if (std::find(linhas.begin(), linhas.end(), "[Unit]") == linhas.end()) linhas.insert(linhas.begin(), "[Unit]");
  const auto comeca = [](const std::string& linha, const std::string& chave) { return linha.rfind(chave, 0) == 0; };
  const std::size_t inicioUnit =
      static_cast<std::size_t>(std::find(linhas.begin(), linhas.end(), "[Unit]") - linhas.begin()) + 1;
  std::size_t fimUnit = inicioUnit;
  for (std::size_t i = inicioUnit; i < linhas.size() && !comeca(linhas[i], "["); ++i) {
    if (!comeca(linhas[i], kChaveDescricao)) linhas[fimUnit++] = linhas[i];
  }
  linhas.erase(linhas.begin() + static_cast<std::ptrdiff_t>(fimUnit),
               std::find_if(linhas.begin() + static_cast<std::ptrdiff_t>(fimUnit), linhas.end(),
                            [&](const std::string& l) { return comeca(l, "["); }));
  // After Description, or else after the section's last line that is not blank.
  std::size_t lugar = inicioUnit;
  while (lugar < fimUnit && !comeca(linhas[lugar], "Description=")) ++lugar;
  if (lugar < fimUnit) {
    ++lugar;
  } else {
    lugar = fimUnit;
    while (lugar > inicioUnit && linhas[lugar - 1].empty()) --lugar;
  }
  linhas.insert(linhas.begin() + static_cast<std::ptrdiff_t>(lugar), kChaveDescricao + descricao);
  std::string saida;
  for (const auto& linha : linhas) saida += linha + "\n";
  SubstituirArquivo(caminho, saida);
  if (impl_->systemd) Executar({"systemctl", "daemon-reload"});
  return true;
}

std::string GerenciadorServicos::ComandoParada(const std::string& nome, const std::string& executavel) {
  try {
    ValidarNome(nome);
    // Active also once its unit file is gone: systemd keeps a running unit loaded.
    if (impl_->systemd) {
      const int status = Status({"systemctl", "is-active", "--quiet", NomeUnidade(nome)});
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "systemctl stop " + NomeUnidade(nome);
    }
    const auto processos = ProcessosDoExecutavel(executavel);
    if (processos.empty()) return "";
    std::string comando = "kill -TERM";
    for (long pid : processos) comando += " " + std::to_string(pid);
    return comando;
  } catch (...) {
    return "";
  }
}

std::string GerenciadorServicos::LocalRegistro(const std::string& nome) const { return impl_->Caminho(nome); }

bool GerenciadorServicos::IniciaComSistema() const { return impl_->systemd; }
