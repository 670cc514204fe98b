// The lines of a log file as the tests read it: the byte-order mark skipped,
// each line ending in CR LF (a last line without one is a failure of the
// test that reads it).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace lumiford::teste {

inline std::vector<std::string> LinhasCrLf(std::string texto, const std::filesystem::path& arquivo) {
  std::vector<std::string> linhas;
  if (texto.empty()) return linhas;
  if (texto.starts_with("\xEF\xBB\xBF")) texto.erase(0, 3);
  EXPECT_TRUE(texto.ends_with("\r\n")) << arquivo;
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    std::size_t fim = texto.find("\r\n", inicio);
    if (fim == std::string::npos) fim = texto.size();
    linhas.push_back(texto.substr(inicio, fim - inicio));
    inicio = fim + 2;
  }
  return linhas;
}

}  // namespace lumiford::teste
