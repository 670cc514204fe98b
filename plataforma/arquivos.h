// Opening files for reading while refusing other writers, as the uploads and
// the log writer need it; and the few write operations the log writer uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// What tells one state of a file from another: the same file (device and
// inode), the same size and the same modification and change times.
struct EstadoArquivo {
  std::uint64_t dispositivo = 0;
  std::uint64_t no = 0;
  std::uint64_t tamanho = 0;
  std::int64_t modificacao_ns = 0;
  std::int64_t alteracao_ns = 0;
  friend bool operator==(const EstadoArquivo&, const EstadoArquivo&) = default;
};

// Raised when a file is refused because another writer holds it open.
// code() is std::errc::text_file_busy; what() is a text for the operator.
class ArquivoEmUso : public std::system_error {
 public:
  explicit ArquivoEmUso(const std::string& caminho);
  const char* what() const noexcept override;
 private:
  std::string texto_;
};

// An open, read-only file descriptor-like handle; closes itself.
class ArquivoLeitura {
 public:
  ArquivoLeitura() = default;
  ~ArquivoLeitura();
  ArquivoLeitura(ArquivoLeitura&& outro) noexcept;
  ArquivoLeitura& operator=(ArquivoLeitura&& outro) noexcept;
  ArquivoLeitura(const ArquivoLeitura&) = delete;
  ArquivoLeitura& operator=(const ArquivoLeitura&) = delete;

  bool Aberto() const;
  std::uint64_t Tamanho() const;
  EstadoArquivo Estado() const;
  // Reads up to n bytes at the given offset; returns the count read (0 at the end).
  std::size_t LerEm(std::uint64_t posicao, char* destino, std::size_t n) const;
  void Fechar();

  // Opens the file for reading, shared with readers and writers alike.
  // Throws std::system_error with the reason. Only regular files open.
  static ArquivoLeitura Abrir(const std::string& caminho);

  // Opens the file for reading, shared with other readers but not with
  // writers: fails while another process holds it open for writing. The
  // test never signals or stops this process, whatever the other process
  // does meanwhile.
  // Throws std::system_error carrying the operating system's reason
  // (ArquivoEmUso when the file is held by a writer). Only regular files open.
  static ArquivoLeitura AbrirSemEscritores(const std::string& caminho);

 private:
  explicit ArquivoLeitura(intptr_t descritor);
  intptr_t descritor_ = -1;
};

// A file open for writing; closes itself (errors of a close in the
// destructor are lost: call Fechar to see them).
class ArquivoEscrita {
 public:
  enum class Modo {
    Acrescentar,  // created when missing, every write goes to the end
    Substituir,   // created when missing, emptied when present
  };

  ArquivoEscrita() = default;
  ~ArquivoEscrita();
  ArquivoEscrita(ArquivoEscrita&& outro) noexcept;
  ArquivoEscrita& operator=(ArquivoEscrita&& outro) noexcept;
  ArquivoEscrita(const ArquivoEscrita&) = delete;
  ArquivoEscrita& operator=(const ArquivoEscrita&) = delete;

  // Throws std::system_error with the operating system's reason.
  static ArquivoEscrita Abrir(const std::string& caminho, Modo modo);

  bool Aberto() const;
  void Escrever(std::string_view dados);  // all of it, or throws
  EstadoArquivo Estado() const;
  void Fechar();

 private:
  explicit ArquivoEscrita(intptr_t descritor, std::string caminho);
  intptr_t descritor_ = -1;
  std::string caminho_;
};

// Keeps the processes that write one file from overlapping: every writer
// of the log holds it from before it reads the file until its line is
// written. Taking it waits for the holder; the system drops it when the
// holder ends, however it ends. On POSIX it is a lock on the file itself
// (created when missing), which follows the name when a writer has put a
// new file in its place.
class TravaEscrita {
 public:
  TravaEscrita() = default;
  ~TravaEscrita();
  TravaEscrita(TravaEscrita&& outra) noexcept;
  TravaEscrita& operator=(TravaEscrita&& outra) noexcept;
  TravaEscrita(const TravaEscrita&) = delete;
  TravaEscrita& operator=(const TravaEscrita&) = delete;

  // Waits at most about the limit for a holder that never lets go (a
  // program that is no writer of ours may lock the file too); after that
  // the lock is not held (Travada() false) and the caller goes on without it.
  // Throws std::system_error when the file cannot be opened.
  static TravaEscrita Tomar(const std::string& caminho, int limite_ms = 30000);

  bool Travada() const;
  // Whether the state is of the file this lock is on (same device and
  // node); true when that cannot be told (no lock held, or a platform whose
  // lock is not on the file).
  bool Sobre(const EstadoArquivo& estado) const;

 private:
  intptr_t descritor_ = -1;
  std::uint64_t dispositivo_ = 0, no_ = 0;
};

bool ArquivoExiste(const std::string& caminho);  // a regular file (or a link to one) is there

// State of the file at the path, following links; empty when nothing is there.
std::optional<EstadoArquivo> EstadoDoArquivo(const std::string& caminho);

// Renames de to para, replacing para; throws std::system_error.
void RenomearArquivo(const std::string& de, const std::string& para);

// Renames de to para only when para does not exist: false when it does.
// Throws std::system_error for any other failure.
bool RenomearSemSubstituir(const std::string& de, const std::string& para);

// Removes the file when it is there; failures are ignored.
void RemoverArquivo(const std::string& caminho) noexcept;
