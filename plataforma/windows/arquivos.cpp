#include "plataforma/arquivos.h"

#include <windows.h>

#include <cwchar>
#include <cerrno>
#include <utility>

#include "plataforma/windows/texto.h"

using lumiford::windows::Largo;

namespace {

// The errors the callers tell apart get their portable condition; the rest
// keep the system's code and text.
std::error_code CodigoErro(DWORD erro) {
  switch (erro) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ACCESS_DENIED:
      return std::make_error_code(std::errc::permission_denied);
    case ERROR_WRITE_PROTECT:
      return std::make_error_code(std::errc::read_only_file_system);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return std::make_error_code(std::errc::file_exists);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::make_error_code(std::errc::no_space_on_device);
    default:
      return {static_cast<int>(erro), std::system_category()};
  }
}

[[noreturn]] void falhar(const std::string& contexto, DWORD erro = ::GetLastError()) {
  throw std::system_error(CodigoErro(erro), contexto);
}

HANDLE identificador(intptr_t descritor) { return reinterpret_cast<HANDLE>(descritor); }

// 100 ns units since 1601-01-01, as nanoseconds since 1970-01-01.
std::int64_t nanossegundos(LARGE_INTEGER tempo) {
  constexpr std::int64_t de1601a1970 = 116444736000000000LL;
  return (tempo.QuadPart - de1601a1970) * 100;
}

EstadoArquivo estado_do_descritor(intptr_t descritor) {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basico{};
  if (!::GetFileInformationByHandle(identificador(descritor), &info) ||
      !::GetFileInformationByHandleEx(identificador(descritor), FileBasicInfo, &basico, sizeof basico))
    falhar("GetFileInformationByHandle");
  EstadoArquivo e;
  e.dispositivo = info.dwVolumeSerialNumber;
  e.no = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  e.tamanho = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  e.modificacao_ns = nanossegundos(basico.LastWriteTime);
  e.alteracao_ns = nanossegundos(basico.ChangeTime);
  return e;
}

void fechar_descritor(intptr_t& descritor) noexcept {
  if (descritor != -1) ::CloseHandle(identificador(descritor));
  descritor = -1;
}

intptr_t descritor_de(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

// Only regular files: not directories, devices or pipes.
void exigir_arquivo_comum(HANDLE h, const std::string& caminho) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) falhar(caminho);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    throw std::system_error(std::make_error_code(std::errc::is_a_directory), caminho);
  if (::GetFileType(h) != FILE_TYPE_DISK) throw std::system_error(std::make_error_code(std::errc::invalid_argument), caminho);
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

bool ArquivoLeitura::Aberto() const { return descritor_ != -1; }
std::uint64_t ArquivoLeitura::Tamanho() const { return Estado().tamanho; }
EstadoArquivo ArquivoLeitura::Estado() const { return estado_do_descritor(descritor_); }
void ArquivoLeitura::Fechar() { fechar_descritor(descritor_); }

std::size_t ArquivoLeitura::LerEm(std::uint64_t posicao, char* destino, std::size_t n) const {
  OVERLAPPED onde{};
  onde.Offset = static_cast<DWORD>(posicao & 0xFFFFFFFFu);
  onde.OffsetHigh = static_cast<DWORD>(posicao >> 32);
  const DWORD pedir = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
  DWORD lidos = 0;
  if (!::ReadFile(identificador(descritor_), destino, pedir, &lidos, &onde)) {
    const DWORD erro = ::GetLastError();
    if (erro == ERROR_HANDLE_EOF) return 0;
    falhar("ReadFile", erro);
  }
  return lidos;
}

namespace {

// Opens for reading with the sharing given; a directory is told as such, and
// with em_uso a file another opener keeps us out of is ArquivoEmUso.
HANDLE abrir_para_ler(const std::string& caminho, DWORD compartilhamento, bool em_uso) {
  HANDLE h = ::CreateFileW(Largo(caminho).c_str(), GENERIC_READ, compartilhamento, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD erro = ::GetLastError();
    if (em_uso && (erro == ERROR_SHARING_VIOLATION || erro == ERROR_LOCK_VIOLATION)) throw ArquivoEmUso(caminho);
    // A directory cannot be opened as a file.
    if (erro == ERROR_ACCESS_DENIED) {
      const DWORD atributos = ::GetFileAttributesW(Largo(caminho).c_str());
      if (atributos != INVALID_FILE_ATTRIBUTES && (atributos & FILE_ATTRIBUTE_DIRECTORY))
        throw std::system_error(std::make_error_code(std::errc::is_a_directory), caminho);
    }
    falhar(caminho, erro);
  }
  return h;
}

}  // namespace

ArquivoLeitura ArquivoLeitura::Abrir(const std::string& caminho) {
  HANDLE h = abrir_para_ler(caminho, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
  ArquivoLeitura arquivo(descritor_de(h));
  exigir_arquivo_comum(h, caminho);
  return arquivo;
}

ArquivoLeitura ArquivoLeitura::AbrirSemEscritores(const std::string& caminho) {
  // Shared with readers only: the open fails at once while another process
  // has the file open for writing, and no writer can open it while we read.
  // Renaming stays allowed, so that the log can be replaced by its rewrite.
  HANDLE h = abrir_para_ler(caminho, FILE_SHARE_READ | FILE_SHARE_DELETE, true);
  ArquivoLeitura arquivo(descritor_de(h));
  exigir_arquivo_comum(h, caminho);
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
  // Appending opens with the right to append only: every write goes to the end.
  const DWORD acesso = modo == Modo::Acrescentar ? FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES
                                                 : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
  const DWORD criacao = modo == Modo::Acrescentar ? OPEN_ALWAYS : CREATE_ALWAYS;
  // No other writer while we replace the content; readers and renames stay
  // possible. Appending shares writing too: every write goes to the end, so
  // a line can join a file another program holds open (the log's writers
  // keep each other out with TravaEscrita).
  const DWORD partilha = modo == Modo::Acrescentar ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                                   : FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE h = ::CreateFileW(Largo(caminho).c_str(), acesso, partilha, nullptr, criacao, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) falhar(caminho);
  ArquivoEscrita arquivo(descritor_de(h), caminho);
  exigir_arquivo_comum(h, caminho);
  return arquivo;
}

bool ArquivoEscrita::Aberto() const { return descritor_ != -1; }
EstadoArquivo ArquivoEscrita::Estado() const { return estado_do_descritor(descritor_); }

void ArquivoEscrita::Escrever(std::string_view dados) {
  while (!dados.empty()) {
    const DWORD pedir = dados.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(dados.size());
    DWORD escritos = 0;
    if (!::WriteFile(identificador(descritor_), dados.data(), pedir, &escritos, nullptr)) falhar(caminho_);
    dados.remove_prefix(escritos);
  }
}

void ArquivoEscrita::Fechar() {
  if (descritor_ == -1) return;
  const HANDLE h = identificador(std::exchange(descritor_, -1));
  if (!::CloseHandle(h)) falhar(caminho_);
}

// ---- TravaEscrita

// A lock on the file itself would keep the log's rewrite from putting the
// new file in its place (Windows replaces no open file): a mutex named
// after the path stands in, machine-wide when allowed (the service runs in
// a session of its own), else for this session.
TravaEscrita::~TravaEscrita() {
  if (descritor_ != -1) {
    if (no_ == 1) ::ReleaseMutex(identificador(descritor_));
    ::CloseHandle(identificador(descritor_));
  }
}

TravaEscrita::TravaEscrita(TravaEscrita&& outra) noexcept
    : descritor_(std::exchange(outra.descritor_, -1)), dispositivo_(outra.dispositivo_), no_(outra.no_) {}

TravaEscrita& TravaEscrita::operator=(TravaEscrita&& outra) noexcept {
  if (this != &outra) {
    TravaEscrita velha(std::move(*this));
    descritor_ = std::exchange(outra.descritor_, -1);
    dispositivo_ = outra.dispositivo_;
    no_ = outra.no_;
  }
  return *this;
}

TravaEscrita TravaEscrita::Tomar(const std::string& caminho, int limite_ms) {
  std::wstring largo = Largo(caminho);
  wchar_t completo[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameW(largo.c_str(), MAX_PATH * 4, completo, nullptr);
  if (n > 0 && n < MAX_PATH * 4) largo.assign(completo, n);
  ::CharLowerBuffW(largo.data(), static_cast<DWORD>(largo.size()));
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a of the path
  for (wchar_t c : largo) {
    hash ^= static_cast<std::uint64_t>(c);
    hash *= 1099511628211ULL;
  }
  wchar_t nome[64];
  ::swprintf(nome, 64, L"lumiford_log_%016llx", static_cast<unsigned long long>(hash));
  HANDLE h = ::CreateMutexW(nullptr, FALSE, (std::wstring(L"Global\\") + nome).c_str());
  if (!h) h = ::CreateMutexW(nullptr, FALSE, (std::wstring(L"Local\\") + nome).c_str());
  TravaEscrita trava;
  if (!h) return trava;
  trava.descritor_ = descritor_de(h);
  const DWORD espera = ::WaitForSingleObject(h, static_cast<DWORD>(limite_ms));
  // An abandoned mutex is ours all the same: its holder ended mid-write.
  if (espera == WAIT_OBJECT_0 || espera == WAIT_ABANDONED) trava.no_ = 1;
  if (trava.no_ != 1) return TravaEscrita();
  return trava;
}

bool TravaEscrita::Travada() const { return descritor_ != -1 && no_ == 1; }

bool TravaEscrita::Sobre(const EstadoArquivo&) const { return true; }

// ---- operations on paths

bool ArquivoExiste(const std::string& caminho) {
  const DWORD atributos = ::GetFileAttributesW(Largo(caminho).c_str());
  return atributos != INVALID_FILE_ATTRIBUTES && !(atributos & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<EstadoArquivo> EstadoDoArquivo(const std::string& caminho) {
  HANDLE h = ::CreateFileW(Largo(caminho).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  intptr_t descritor = descritor_de(h);
  std::optional<EstadoArquivo> estado;
  try {
    estado = estado_do_descritor(descritor);
  } catch (...) {
  }
  fechar_descritor(descritor);
  return estado;
}

void RenomearArquivo(const std::string& de, const std::string& para) {
  if (!::MoveFileExW(Largo(de).c_str(), Largo(para).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    falhar(de + " -> " + para);
}

bool RenomearSemSubstituir(const std::string& de, const std::string& para) {
  if (::MoveFileExW(Largo(de).c_str(), Largo(para).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD erro = ::GetLastError();
  if (erro == ERROR_ALREADY_EXISTS || erro == ERROR_FILE_EXISTS) return false;
  falhar(de + " -> " + para, erro);
}

void RemoverArquivo(const std::string& caminho) noexcept { ::DeleteFileW(Largo(caminho).c_str()); }
