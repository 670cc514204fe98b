#include "plataforma/executavel.h"

#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex mutex_substituto;
std::string diretorio_substituto;

}  // namespace

std::string CaminhoExecutavel() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw std::system_error(errno, std::generic_category(), "readlink /proc/self/exe");
    if (static_cast<std::size_t>(n) < buffer.size()) {
      std::string caminho(buffer.data(), static_cast<std::size_t>(n));
      // The kernel marks an executable replaced on disk while running; the
      // directory is still the one we were started from.
      constexpr std::string_view removido = " (deleted)";
      struct stat st {};
      if (caminho.ends_with(removido) && ::stat(caminho.c_str(), &st) != 0)
        caminho.erase(caminho.size() - removido.size());
      return caminho;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string DiretorioDoExecutavel() {
  {
    std::lock_guard trava(mutex_substituto);
    if (!diretorio_substituto.empty()) return diretorio_substituto;
  }
  const std::string caminho = CaminhoExecutavel();
  const auto barra = caminho.find_last_of('/');
  if (barra == std::string::npos) return ".";
  if (barra == 0) return "/";
  return caminho.substr(0, barra);
}

void SubstituirDiretorioExecutavel(const std::string& diretorio) {
  std::lock_guard trava(mutex_substituto);
  diretorio_substituto = diretorio;
}
