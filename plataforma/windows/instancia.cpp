#include "plataforma/instancia.h"

#include <windows.h>

#include <system_error>
#include <utility>

#include "plataforma/windows/texto.h"

using lumiford::windows::Largo;

namespace {

void fechar(intptr_t& descritor) noexcept {
  if (descritor != -1) ::CloseHandle(reinterpret_cast<HANDLE>(descritor));
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
  // Shared with every other opener: the byte lock below, not the sharing
  // mode, tells the holder, so that a second copy can read the holder's id.
  HANDLE h = ::CreateFileW(Largo(caminho).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), caminho);
  TravaInstancia trava(reinterpret_cast<intptr_t>(h));
  // A byte far past the end: a lock there never stands in the way of
  // reading the id at the start of the file.
  OVERLAPPED onde{};
  onde.Offset = 0xFFFFFFFEu;
  onde.OffsetHigh = 0x7FFFFFFFu;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &onde)) {
    const DWORD erro = ::GetLastError();
    if (erro == ERROR_LOCK_VIOLATION || erro == ERROR_IO_PENDING) return std::nullopt;
    throw std::system_error(static_cast<int>(erro), std::system_category(), caminho);
  }
  const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
  DWORD escritos = 0;
  OVERLAPPED inicio{};
  if (::SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER && ::SetEndOfFile(h))
    ::WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &escritos, &inicio);
  return trava;
}

std::string TravaInstancia::Dono(const std::string& caminho) {
  HANDLE h = ::CreateFileW(Largo(caminho).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  char texto[32] = {};
  DWORD lidos = 0;
  const BOOL ok = ::ReadFile(h, texto, sizeof texto - 1, &lidos, nullptr);
  ::CloseHandle(h);
  std::string dono;
  for (DWORD i = 0; ok && i < lidos && texto[i] >= '0' && texto[i] <= '9'; ++i) dono += texto[i];
  return dono;
}
