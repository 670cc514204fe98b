// File paths on this platform: the separator of their parts, and the
// passage between our UTF-8 text and std::filesystem (which reads a plain
// string in the ANSI code page on Windows).
#pragma once

#include <filesystem>
#include <string>

extern const char SeparadorCaminho;

inline std::filesystem::path CaminhoUtf8(const std::string& texto) {
  return std::filesystem::path(std::u8string(texto.begin(), texto.end()));
}

inline std::string TextoUtf8(const std::filesystem::path& caminho) {
  const std::u8string texto = caminho.u8string();
  return std::string(texto.begin(), texto.end());
}
