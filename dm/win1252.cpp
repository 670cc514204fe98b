#include "dm/win1252.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "dm/banco.h"

namespace lumiford::win1252 {

namespace {

// 0x80-0x9F; the bytes without a character map to the C1 control of the same number.
constexpr std::array<char32_t, 32> kFaixa80 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AnexarUtf8(std::string& saida, char32_t cp) {
  if (cp < 0x80) {
    saida.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    saida.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    saida.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    saida.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    saida.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    saida.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

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
      AnexarUtf8(saida, kFaixa80[b - 0x80]);
    else
      AnexarUtf8(saida, b);
  }
  return saida;
}

std::string DeUtf8(std::string_view texto) {
  std::string saida;
  saida.reserve(texto.size());
  std::size_t i = 0;
  const std::size_t n = texto.size();
  while (i < n) {
    auto b0 = static_cast<unsigned char>(texto[i]);
    if (b0 < 0x80) {
      saida.push_back(static_cast<char>(b0));
      ++i;
      continue;
    }
    std::size_t extra;
    char32_t cp;
    char32_t minimo;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1; cp = b0 & 0x1F; minimo = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2; cp = b0 & 0x0F; minimo = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3; cp = b0 & 0x07; minimo = 0x10000;
    } else {
      Invalido(i);
    }
    if (i + extra >= n) Invalido(i);
    for (std::size_t k = 1; k <= extra; ++k) {
      auto b = static_cast<unsigned char>(texto[i + k]);
      if ((b & 0xC0) != 0x80) Invalido(i);
      cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (cp < minimo || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) Invalido(i);
    int byte = ByteDe(cp);
    if (byte < 0) NaoRepresentavel(cp);
    saida.push_back(static_cast<char>(byte));
    i += extra + 1;
  }
  return saida;
}

}  // namespace lumiford::win1252
