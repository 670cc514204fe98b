// Reader of profile (INI) files with the rules of the Windows profile
// functions: names without regard to case, values trimmed, one pair of
// quotation marks dropped, at most 2047 characters of a value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ArquivoIni {
 public:
  // Reads the file; throws std::system_error when it cannot be read.
  static ArquivoIni Ler(const std::string& caminho);
  // The file's bytes: UTF-16LE with its byte-order mark, or ANSI text (UTF-8
  // when the bytes are valid UTF-8, Windows-1252 otherwise).
  static ArquivoIni DeBytes(const std::string& bytes);

  // The value of the key in the section, empty when the key is absent.
  std::optional<std::string> Valor(const std::string& secao, const std::string& chave) const;

  struct Chave {
    std::string nome;   // as written
    std::string valor;  // as Valor gives it
  };
  // The keys of the section in the order written, repeated ones included.
  std::vector<Chave> Chaves(const std::string& secao) const;
  bool TemSecao(const std::string& secao) const;

 private:
  struct Entrada {
    std::string secao;
    std::string chave;
    std::string valor;
  };
  std::vector<Entrada> entradas_;
  std::vector<std::string> secoes_;
};

// A profile integer: decimal with an optional sign, or hexadecimal after
// "0x" (any case) or "$"; anything else, and a value out of 32 bits, is 0.
std::int32_t InteiroIni(const std::string& valor);
