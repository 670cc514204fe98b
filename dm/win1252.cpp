#include "dm/win1252.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "dm/banco.h"
#include "global/funcoes.h"

namespace lumiford::win1252 {

namespace {

// 0x80-0x9F; the bytes without a character map to the C1 control of the same number.
constexpr std::array<char32_t, 32> kFaixa80 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int ByteDe(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (std::size_t i = 0; i < kFaixa80.size(); ++i)
    if (kFaixa80[i] == cp) return static_cast<int>(0x80 + i);
  return -1;
}

[[noreturn]] void NaoRepresentavel(char32_t cp) {
  char codigo[16];
  std::snprintf(codigo, sizeof codigo, "U+%04X", static_cast<unsigned>(cp));
  throw ErroBanco(std::string("Caractere não representável em WIN1252: ") + codigo);
}

[[noreturn]] void Invalido(std::size_t posicao) {
  throw ErroBanco("Texto UTF-8 inválido na posição " + std::to_string(posicao));
}

}  // namespace

std::string ParaUtf8(std::string_view bytes) {
  std::string saida;
  saida.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80)
      saida.push_back(c);
    else if (b < 0xA0)
      AcrescentarUtf8(saida, kFaixa80[b - 0x80]);
    else
      AcrescentarUtf8(saida, b);
  }
  return saida;
}

std::string DeUtf8(std::string_view texto) {
  std::string saida;
  saida.reserve(texto.size());
  std::size_t i = 0;
  while (i < texto.size()) {
    const auto b0 = static_cast<unsigned char>(texto[i]);
    if (b0 < 0x80) {
      saida.push_back(static_cast<char>(b0));
      ++i;
      continue;
    }
    const std::size_t n = SequenciaUtf8(texto.substr(i));
    if (n == 0) Invalido(i);
    char32_t cp = b0 & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(texto[i + k]) & 0x3F);
    const int byte = ByteDe(cp);
    if (byte < 0) NaoRepresentavel(cp);
    saida.push_back(static_cast<char>(byte));
    i += n;
  }
  return saida;
}

}  // namespace lumiford::win1252
