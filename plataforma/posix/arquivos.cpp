#include "plataforma/arquivos.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void falhar(const std::string& contexto) {
  throw std::system_error(errno, std::generic_category(), contexto);
}

EstadoArquivo estado_de(const struct stat& st) {
  EstadoArquivo e;
  e.dispositivo = static_cast<std::uint64_t>(st.st_dev);
  e.no = static_cast<std::uint64_t>(st.st_ino);
  e.tamanho = static_cast<std::uint64_t>(st.st_size);
  e.modificacao_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  e.alteracao_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return e;
}

EstadoArquivo estado_do_descritor(intptr_t descritor) {
  struct stat st {};
  if (::fstat(static_cast<int>(descritor), &st) != 0) falhar("fstat");
  return estado_de(st);
}

void fechar_descritor(intptr_t& descritor) noexcept {
  if (descritor >= 0) ::close(static_cast<int>(descritor));
  descritor = -1;
}

}  // namespace

ArquivoEmUso::ArquivoEmUso(const std::string& caminho)
    : std::system_error(std::make_error_code(std::errc::text_file_busy), caminho),
      texto_(caminho + ": o arquivo está aberto para escrita por outro processo") {}

const char* ArquivoEmUso::what() const noexcept { return texto_.c_str(); }

// ---- ArquivoLeitura

ArquivoLeitura::ArquivoLeitura(intptr_t descritor) : descritor_(descritor) {}
ArquivoLeitura::~ArquivoLeitura() { fechar_descritor(descritor_); }

ArquivoLeitura::ArquivoLeitura(ArquivoLeitura&& outro) noexcept
    : descritor_(std::exchange(outro.descritor_, -1)) {}

ArquivoLeitura& ArquivoLeitura::operator=(ArquivoLeitura&& outro) noexcept {
  if (this != &outro) {
    fechar_descritor(descritor_);
    descritor_ = std::exchange(outro.descritor_, -1);
  }
  return *this;
}

bool ArquivoLeitura::Aberto() const { return descritor_ >= 0; }
std::uint64_t ArquivoLeitura::Tamanho() const { return Estado().tamanho; }
EstadoArquivo ArquivoLeitura::Estado() const { return estado_do_descritor(descritor_); }
void ArquivoLeitura::Fechar() { fechar_descritor(descritor_); }

std::size_t ArquivoLeitura::LerEm(std::uint64_t posicao, char* destino, std::size_t n) const {
  for (;;) {
    const ssize_t lidos = ::pread(static_cast<int>(descritor_), destino, n, static_cast<off_t>(posicao));
    if (lidos >= 0) return static_cast<std::size_t>(lidos);
    if (errno != EINTR) falhar("pread");
  }
}

ArquivoLeitura ArquivoLeitura::Abrir(const std::string& caminho) {
  // O_NONBLOCK: never wait on another process's lease (or on a FIFO).
  const int fd = ::open(caminho.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) falhar(caminho);
  ArquivoLeitura arquivo(fd);

  struct stat st {};
  if (::fstat(fd, &st) != 0) falhar(caminho);
  if (S_ISDIR(st.st_mode)) throw std::system_error(EISDIR, std::generic_category(), caminho);
  if (!S_ISREG(st.st_mode)) throw std::system_error(EINVAL, std::generic_category(), caminho);
  return arquivo;
}

ArquivoLeitura ArquivoLeitura::AbrirSemEscritores(const std::string& caminho) {
  ArquivoLeitura arquivo = Abrir(caminho);
  const int fd = static_cast<int>(arquivo.descritor_);

  // The kernel grants a read lease only while nobody has the file open for
  // writing. We use it as that test only, and drop it at once so that no
  // other process ever waits on us. A writer that opens the file in between
  // makes the kernel signal the lease holder, with SIGIO unless told
  // otherwise, and SIGIO ends a process by default: another program opening
  // the log or a boleto at that moment would kill the service. SIGWINCH is
  // ignored by default and handled nowhere here, so the notice is dropped.
  ::fcntl(fd, F_SETSIG, SIGWINCH);
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EBUSY) {
    throw ArquivoEmUso(caminho);
  }
  // Other failures (leases off, a file system without them, a file we do not
  // own): the test cannot be made, and the file is read anyway.
  return arquivo;
}

// ---- ArquivoEscrita

ArquivoEscrita::ArquivoEscrita(intptr_t descritor, std::string caminho)
    : descritor_(descritor), caminho_(std::move(caminho)) {}
ArquivoEscrita::~ArquivoEscrita() { fechar_descritor(descritor_); }

ArquivoEscrita::ArquivoEscrita(ArquivoEscrita&& outro) noexcept
    : descritor_(std::exchange(outro.descritor_, -1)), caminho_(std::move(outro.caminho_)) {}

ArquivoEscrita& ArquivoEscrita::operator=(ArquivoEscrita&& outro) noexcept {
  if (this != &outro) {
    fechar_descritor(descritor_);
    descritor_ = std::exchange(outro.descritor_, -1);
    caminho_ = std::move(outro.caminho_);
  }
  return *this;
}

ArquivoEscrita ArquivoEscrita::Abrir(const std::string& caminho, Modo modo) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
  flags |= modo == Modo::Acrescentar ? O_APPEND : O_TRUNC;
  const int fd = ::open(caminho.c_str(), flags, 0644);
  if (fd < 0) falhar(caminho);
  ArquivoEscrita arquivo(fd, caminho);
  struct stat st {};
  if (::fstat(fd, &st) != 0) falhar(caminho);
  if (!S_ISREG(st.st_mode)) throw std::system_error(EINVAL, std::generic_category(), caminho);
  return arquivo;
}

bool ArquivoEscrita::Aberto() const { return descritor_ >= 0; }
EstadoArquivo ArquivoEscrita::Estado() const { return estado_do_descritor(descritor_); }

void ArquivoEscrita::Escrever(std::string_view dados) {
  while (!dados.empty()) {
    const ssize_t escritos = ::write(static_cast<int>(descritor_), dados.data(), dados.size());
    if (escritos < 0) {
      if (errno == EINTR) continue;
      falhar(caminho_);
    }
    dados.remove_prefix(static_cast<std::size_t>(escritos));
  }
}

void ArquivoEscrita::Fechar() {
  if (descritor_ < 0) return;
  const int fd = static_cast<int>(std::exchange(descritor_, -1));
  // Delayed write errors (a full disk on some file systems) show up here.
  if (::close(fd) != 0 && errno != EINTR) falhar(caminho_);
}

// ---- TravaEscrita

TravaEscrita::~TravaEscrita() { fechar_descritor(descritor_); }

TravaEscrita::TravaEscrita(TravaEscrita&& outra) noexcept
    : descritor_(std::exchange(outra.descritor_, -1)), dispositivo_(outra.dispositivo_), no_(outra.no_) {}

TravaEscrita& TravaEscrita::operator=(TravaEscrita&& outra) noexcept {
  if (this != &outra) {
    fechar_descritor(descritor_);
    descritor_ = std::exchange(outra.descritor_, -1);
    dispositivo_ = outra.dispositivo_;
    no_ = outra.no_;
  }
  return *this;
}

TravaEscrita TravaEscrita::Tomar(const std::string& caminho, int limite_ms) {
  // flock on a read-only descriptor: holding it makes us no writer, so the
  // lease test of the same file still sees only the others. It belongs to
  // the open file, so the threads of one process exclude each other as well.
  const auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(limite_ms);
  auto pausa = std::chrono::microseconds(200);
  for (;;) {
    const int fd = ::open(caminho.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) falhar(caminho);
    TravaEscrita trava;
    trava.descritor_ = fd;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        // A file system without locks: nothing to wait for.
        trava = TravaEscrita();
        return trava;
      }
      if (std::chrono::steady_clock::now() > fim) return TravaEscrita();
      trava = TravaEscrita();
      std::this_thread::sleep_for(pausa);
      pausa = std::min(pausa * 2, std::chrono::microseconds(20000));
      continue;
    }
    // The file we locked may have been replaced (a writer's rewrite, a
    // rotation) or removed while we waited: then the lock on the name's
    // current file is the one to take.
    const EstadoArquivo nosso = estado_do_descritor(fd);
    const auto atual = EstadoDoArquivo(caminho);
    if (atual && atual->dispositivo == nosso.dispositivo && atual->no == nosso.no) {
      trava.dispositivo_ = nosso.dispositivo;
      trava.no_ = nosso.no;
      return trava;
    }
    if (std::chrono::steady_clock::now() > fim) return TravaEscrita();
  }
}

bool TravaEscrita::Travada() const { return descritor_ >= 0; }

bool TravaEscrita::Sobre(const EstadoArquivo& estado) const {
  return descritor_ < 0 || (estado.dispositivo == dispositivo_ && estado.no == no_);
}

// ---- operations on paths

bool ArquivoExiste(const std::string& caminho) {
  struct stat st {};
  return ::stat(caminho.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<EstadoArquivo> EstadoDoArquivo(const std::string& caminho) {
  struct stat st {};
  if (::stat(caminho.c_str(), &st) != 0) return std::nullopt;
  return estado_de(st);
}

void RenomearArquivo(const std::string& de, const std::string& para) {
  if (::rename(de.c_str(), para.c_str()) != 0) falhar(de + " -> " + para);
}

bool RenomearSemSubstituir(const std::string& de, const std::string& para) {
  if (::renameat2(AT_FDCWD, de.c_str(), AT_FDCWD, para.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) falhar(de + " -> " + para);
  // A file system without the no-replace rename: a hard link fails on an
  // existing name just the same.
  if (::link(de.c_str(), para.c_str()) != 0) {
    if (errno == EEXIST) return false;
    falhar(de + " -> " + para);
  }
  if (::unlink(de.c_str()) != 0) falhar(de);
  return true;
}

void RemoverArquivo(const std::string& caminho) noexcept { ::unlink(caminho.c_str()); }
