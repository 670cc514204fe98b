// The settings file, read with the rules of the system's profile functions:
// section and key names without regard to case, blanks around a value
// dropped, one pair of quotation marks dropped, at most 2047 characters of a
// value. Windows reads it through those functions; Linux through our own
// reader of the same rules (global/ini.h).
#pragma once

#include <memory>
#include <string>

class ArquivoPerfil {
 public:
  // Throws std::system_error when the file cannot be read.
  static ArquivoPerfil Abrir(const std::string& caminho);
  ~ArquivoPerfil();
  ArquivoPerfil(ArquivoPerfil&&) noexcept;
  ArquivoPerfil& operator=(ArquivoPerfil&&) noexcept;

  // The value of the key in the section; empty when the key is absent.
  std::string Valor(const std::string& secao, const std::string& chave) const;

 private:
  struct Impl;
  explicit ArquivoPerfil(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
