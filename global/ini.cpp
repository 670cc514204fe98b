#include "global/ini.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include "global/funcoes.h"

namespace {

constexpr std::size_t maximo_unidades_valor = 2047;  // UTF-16 units, as the profile functions count

void acrescentar_utf8(std::string& destino, char32_t c) {
  if (c < 0x80) {
    destino += static_cast<char>(c);
  } else if (c < 0x800) {
    destino += static_cast<char>(0xC0 | (c >> 6));
    destino += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    destino += static_cast<char>(0xE0 | (c >> 12));
    destino += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    destino += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    destino += static_cast<char>(0xF0 | (c >> 18));
    destino += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    destino += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    destino += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Length in bytes of the UTF-8 sequence at the start of t, 0 when invalid.
std::size_t sequencia_utf8(std::string_view t) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
  const auto cont = [&](std::size_t i, unsigned char min = 0x80, unsigned char max = 0xBF) {
    return i < t.size() && b(i) >= min && b(i) <= max;
  };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

bool utf8_valido(std::string_view t) {
  while (!t.empty()) {
    const std::size_t n = sequencia_utf8(t);
    if (n == 0) return false;
    t.remove_prefix(n);
  }
  return true;
}

std::string utf16le_para_utf8(std::string_view bytes) {
  std::string texto;
  const std::size_t unidades = bytes.size() / 2;
  const auto unidade = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  for (std::size_t i = 0; i < unidades; ++i) {
    const char16_t u = unidade(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < unidades && unidade(i + 1) >= 0xDC00 && unidade(i + 1) <= 0xDFFF) {
      acrescentar_utf8(texto, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (unidade(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      acrescentar_utf8(texto, 0xFFFD);
    } else {
      acrescentar_utf8(texto, u);
    }
  }
  return texto;
}

char minuscula(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool mesmo_nome(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (minuscula(a[i]) != minuscula(b[i])) return false;
  return true;
}

// At most the given number of UTF-16 units, never splitting a character.
std::string cortar_valor(const std::string& valor) {
  std::size_t unidades = 0;
  std::size_t i = 0;
  while (i < valor.size()) {
    std::size_t n = sequencia_utf8(std::string_view(valor).substr(i));
    if (n == 0) n = 1;
    const std::size_t custo = n == 4 ? 2 : 1;
    if (unidades + custo > maximo_unidades_valor) break;
    unidades += custo;
    i += n;
  }
  return valor.substr(0, i);
}

std::string valor_de(std::string_view bruto) {
  std::string valor = Trim(std::string(bruto));
  if (valor.size() >= 2 && (valor.front() == '"' || valor.front() == '\'') && valor.back() == valor.front())
    valor = valor.substr(1, valor.size() - 2);
  return cortar_valor(valor);
}

}  // namespace

std::string Win1252ParaUtf8(const std::string& bytes) {
  // 0x80 to 0x9F; the five unassigned codes stay as the control characters
  // of the same number, as Windows maps them.
  static constexpr char16_t faixa_80[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string texto;
  texto.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c >= 0x80 && c <= 0x9F)
      acrescentar_utf8(texto, faixa_80[c - 0x80]);
    else
      acrescentar_utf8(texto, c);
  }
  return texto;
}

ArquivoIni ArquivoIni::Ler(const std::string& caminho) {
  // Shared with anyone, writers included, as the profile functions read.
  std::ifstream arquivo(caminho, std::ios::binary);
  if (!arquivo) throw std::system_error(errno, std::generic_category(), caminho);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  if (arquivo.bad()) throw std::system_error(errno, std::generic_category(), caminho);
  return DeBytes(std::move(bytes).str());
}

ArquivoIni ArquivoIni::DeBytes(const std::string& bytes) {
  std::string texto;
  std::string_view b = bytes;
  if (b.starts_with("\xFF\xFE")) {
    texto = utf16le_para_utf8(b.substr(2));
  } else {
    // An editor's UTF-8 byte-order mark would otherwise spoil the first line.
    if (b.starts_with("\xEF\xBB\xBF")) b.remove_prefix(3);
    texto = utf8_valido(b) ? std::string(b) : Win1252ParaUtf8(std::string(b));
  }

  ArquivoIni ini;
  std::string secao;
  bool em_secao = false;
  std::string_view resto = texto;
  while (!resto.empty()) {
    const std::size_t fim = resto.find_first_of("\r\n");
    const std::string linha = Trim(std::string(resto.substr(0, fim)));
    if (fim == std::string_view::npos) {
      resto = {};
    } else {
      const bool crlf = resto[fim] == '\r' && fim + 1 < resto.size() && resto[fim + 1] == '\n';
      resto.remove_prefix(fim + (crlf ? 2 : 1));
    }
    if (linha.empty() || linha.front() == ';') continue;
    if (linha.front() == '[') {
      const std::size_t fecha = linha.rfind(']');
      if (fecha != std::string::npos) {
        secao = Trim(linha.substr(1, fecha - 1));
        em_secao = true;
        continue;
      }
    }
    if (!em_secao) continue;
    const std::size_t igual = linha.find('=');
    Entrada entrada;
    entrada.secao = secao;
    entrada.chave = Trim(linha.substr(0, igual));
    entrada.valor = igual == std::string::npos ? std::string() : valor_de(std::string_view(linha).substr(igual + 1));
    ini.entradas_.push_back(std::move(entrada));
  }
  return ini;
}

std::optional<std::string> ArquivoIni::Valor(const std::string& secao, const std::string& chave) const {
  // The first of repeated keys wins.
  for (const Entrada& e : entradas_)
    if (mesmo_nome(e.secao, secao) && mesmo_nome(e.chave, chave)) return e.valor;
  return std::nullopt;
}

std::int32_t InteiroIni(const std::string& valor) {
  std::string_view t = valor;
  if (t.empty()) return 0;
  std::uint64_t numero = 0;
  if (t.starts_with("0x") || t.starts_with("0X") || t.starts_with("$")) {
    t.remove_prefix(t.front() == '$' ? 1 : 2);
    if (t.empty()) return 0;
    for (char c : t) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return 0;
      numero = numero * 16 + static_cast<std::uint64_t>(d);
      if (numero > 0xFFFFFFFFu) return 0;
    }
    // Eight hexadecimal digits are the 32 bits of the number.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(numero));
  }
  bool negativo = false;
  if (t.front() == '+' || t.front() == '-') {
    negativo = t.front() == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return 0;
  for (char c : t) {
    if (c < '0' || c > '9') return 0;
    numero = numero * 10 + static_cast<std::uint64_t>(c - '0');
    if (numero > 0x80000000u) return 0;
  }
  if (!negativo && numero > 0x7FFFFFFFu) return 0;
  return negativo ? static_cast<std::int32_t>(-static_cast<std::int64_t>(numero)) : static_cast<std::int32_t>(numero);
}
