// Opening files for reading while refusing other writers, as the uploads and
// the log writer need it.
#pragma once

#include <cstdint>
#include <string>

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
  // Reads up to n bytes at the given offset; returns the count read (0 at the end).
  std::size_t LerEm(std::uint64_t posicao, char* destino, std::size_t n) const;
  void Fechar();

  // Opens the file for reading, shared with other readers but not with
  // writers: fails while another process holds it open for writing.
  // Throws std::system_error carrying the operating system's reason.
  static ArquivoLeitura AbrirSemEscritores(const std::string& caminho);

 private:
  explicit ArquivoLeitura(intptr_t descritor);
  intptr_t descritor_ = -1;
};

bool ArquivoExiste(const std::string& caminho);  // a regular file (or a link to one) is there
