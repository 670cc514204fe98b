// One multipart/form-data request body (RFC 7578) with file parts, as the
// two uploads post it. The bytes are produced on demand: the files are
// streamed while sending, never loaded whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plataforma/arquivos.h"

class CorpoMultipart {
 public:
  // The boundary comes from the local clock at creation.
  CorpoMultipart();
  ~CorpoMultipart();
  CorpoMultipart(const CorpoMultipart&) = delete;
  CorpoMultipart& operator=(const CorpoMultipart&) = delete;

  // Opens the file at once, refusing it while another process holds it open
  // for writing; on failure throws (std::system_error with the system's
  // reason) and adds no part.
  void AdicionarArquivo(const std::string& campo, const std::string& caminho, const std::string& tipo);

  const std::string& Boundary() const { return boundary_; }
  // Value of the request's "Content-Type" header.
  const std::string& ContentType() const { return content_type_; }
  // Exact size of the whole body in bytes.
  std::uint64_t Tamanho() const;

  // Hands out the next bytes of the body; 0 at the end. Throws when a file
  // no longer holds the bytes it had when it was added: it grew, shrank or
  // was written to (another program wrote it while it was being sent),
  // before the request's last bytes go out, so that no mix of two versions
  // of the file is ever taken as sent.
  std::size_t Ler(char* destino, std::size_t n);
  // Back to the first byte; the next pass yields the same bytes.
  void Reiniciar() { posicao_ = 0; }

  // The whole body in memory (small bodies and tests).
  std::string Texto();

 private:
  struct Parte {
    std::string cabecalho;  // from the boundary line to the empty line
    ArquivoLeitura arquivo;
    std::string caminho;
    EstadoArquivo estado;
    std::uint64_t tamanho = 0;
  };

  static void ConferirInalterado(const Parte& parte);

  std::string boundary_;
  std::string content_type_;
  std::string fechamento_;  // "--" boundary "--" CRLF
  std::vector<Parte> partes_;
  std::uint64_t posicao_ = 0;
};

// Last component of a path: the text after the last "\", ":" or "/".
std::string NomeArquivoParte(const std::string& caminho);

// A header name as it goes into the part header: unchanged when every byte
// is printable ASCII, otherwise RFC 2047 "B" encoded words of its UTF-8 text.
std::string NomeCabecalhoParte(const std::string& nome);
