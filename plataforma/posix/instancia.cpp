#include "plataforma/instancia.h"

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void fechar(intptr_t& descritor) noexcept {
  if (descritor >= 0) ::close(static_cast<int>(descritor));
  descritor = -1;
}

}  // namespace

TravaInstancia::TravaInstancia(intptr_t descritor) : descritor_(descritor) {}
TravaInstancia::~TravaInstancia() { fechar(descritor_); }
TravaInstancia::TravaInstancia(TravaInstancia&& outra) noexcept : descritor_(std::exchange(outra.descritor_, -1)) {}
TravaInstancia& TravaInstancia::operator=(TravaInstancia&& outra) noexcept {
  if (this != &outra) {
    fechar(descritor_);
    descritor_ = std::exchange(outra.descritor_, -1);
  }
  return *this;
}

std::optional<TravaInstancia> TravaInstancia::Tomar(const std::string& caminho) {
  // flock belongs to the open file, not to the process: it is not lost when
  // some library closes another descriptor of the same file, and the child
  // processes we start never inherit it (close-on-exec).
  const int fd = ::open(caminho.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), caminho);
  TravaInstancia trava(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::system_error(errno, std::generic_category(), caminho);
  if (!S_ISREG(st.st_mode)) throw std::system_error(EINVAL, std::generic_category(), caminho);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), caminho);
  }
  // Only for the operator's message of a second copy; the lock is what counts.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t escritos = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return trava;
}

std::string TravaInstancia::Dono(const std::string& caminho) {
  const int fd = ::open(caminho.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  char texto[32] = {};
  const ssize_t lidos = ::pread(fd, texto, sizeof texto - 1, 0);
  ::close(fd);
  std::string dono;
  for (ssize_t i = 0; i < lidos && texto[i] >= '0' && texto[i] <= '9'; ++i) dono += texto[i];
  return dono;
}
