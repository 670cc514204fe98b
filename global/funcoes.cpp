#include "global/funcoes.h"

#include <array>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 12> nomes_meses = {
    "Janeiro", "Fevereiro", "Março",    "Abril",   "Maio",     "Junho",
    "Julho",   "Agosto",    "Setembro", "Outubro", "Novembro", "Dezembro"};

}  // namespace

std::string SomenteNumeros(const std::string& texto) {
  std::string digitos;
  for (char c : texto)
    if (c >= '0' && c <= '9') digitos += c;
  return digitos;
}

std::string FormatarCnpjCpf(const std::string& texto) {
  const std::string d = SomenteNumeros(texto);
  if (d.size() == 14)
    return d.substr(0, 2) + '.' + d.substr(2, 3) + '.' + d.substr(5, 3) + '/' + d.substr(8, 4) + '-' +
           d.substr(12, 2);
  if (d.size() == 11)
    return d.substr(0, 3) + '.' + d.substr(3, 3) + '.' + d.substr(6, 3) + '-' + d.substr(9, 2);
  // Neither a CNPJ nor a CPF: the digits as they came, so the result still
  // depends on this argument alone.
  return d;
}

std::string FormatarCep(const std::string& texto) {
  std::string d = SomenteNumeros(texto);
  if (d.size() < 8) d.insert(0, 8 - d.size(), '0');
  d.resize(8);
  return d.substr(0, 2) + '.' + d.substr(2, 3) + '-' + d.substr(5, 3);
}

std::string TrocarPontoVirgula(const std::string& texto) {
  std::string resultado = texto;
  for (char& c : resultado) {
    if (c == '.')
      c = ',';
    else if (c == ',')
      c = '.';
  }
  return resultado;
}

std::string ZerosEsquerda(const std::string& texto, int tamanho) {
  // The length counts characters, not bytes.
  const std::size_t caracteres = CaracteresUtf8(texto);
  if (tamanho <= 0 || caracteres >= static_cast<std::size_t>(tamanho)) return texto;
  return std::string(static_cast<std::size_t>(tamanho) - caracteres, '0') + texto;
}

std::string NomeMes(int mes) {
  if (mes < 1 || mes > 12) return {};
  return std::string(nomes_meses[static_cast<std::size_t>(mes - 1)]);
}

int NumeroMes(const std::string& nome) {
  for (std::size_t i = 0; i < nomes_meses.size(); ++i)
    if (nomes_meses[i] == nome) return static_cast<int>(i + 1);
  return 0;
}

DataHora UltimoDiaMes(DataHora valor) {
  using std::chrono::days;
  // A day of the next month, then back by its day number: whole days only,
  // so the time of day is carried along.
  const unsigned d = static_cast<unsigned>(DataDe(valor).day());
  const DataHora seguinte = valor - days{d} + days{33};
  const unsigned e = static_cast<unsigned>(DataDe(seguinte).day());
  return seguinte - days{e};
}

std::int64_t TextoParaInteiro(const std::string& texto) {
  const auto invalido = [&] { return std::invalid_argument("'" + texto + "' is not a valid integer value"); };
  std::string_view digitos = texto;
  bool negativo = false;
  if (!digitos.empty() && (digitos.front() == '+' || digitos.front() == '-')) {
    negativo = digitos.front() == '-';
    digitos.remove_prefix(1);
  }
  if (digitos.empty()) throw invalido();
  for (char c : digitos)
    if (c < '0' || c > '9') throw invalido();

  // Accumulate as a negative number so that the lowest 64-bit value fits.
  std::int64_t valor = 0;
  constexpr std::int64_t minimo = std::numeric_limits<std::int64_t>::min();
  for (char c : digitos) {
    const int digito = c - '0';
    if (valor < (minimo + digito) / 10) throw invalido();
    valor = valor * 10 - digito;
  }
  if (!negativo) {
    if (valor == minimo) throw invalido();
    valor = -valor;
  }
  return valor;
}

std::int32_t TextoParaInteiro32(const std::string& texto) {
  const std::int64_t valor = TextoParaInteiro(texto);
  if (valor < std::numeric_limits<std::int32_t>::min() || valor > std::numeric_limits<std::int32_t>::max())
    throw std::invalid_argument("'" + texto + "' is not a valid integer value");
  return static_cast<std::int32_t>(valor);
}

std::string Trim(std::string_view texto) {
  std::size_t inicio = 0;
  std::size_t fim = texto.size();
  while (inicio < fim && static_cast<unsigned char>(texto[inicio]) <= 32) ++inicio;
  while (fim > inicio && static_cast<unsigned char>(texto[fim - 1]) <= 32) --fim;
  return std::string(texto.substr(inicio, fim - inicio));
}

int DigitoHexa(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string MascararToken(const std::string& texto) {
  static const std::string kChave = "token_erp=";
  std::string saida;
  std::size_t inicio = 0;
  for (;;) {
    const auto pos = texto.find(kChave, inicio);
    if (pos == std::string::npos) break;
    // An escaped value ends where the query goes on, or at a blank or control.
    std::size_t fim = pos + kChave.size();
    while (fim < texto.size() && texto[fim] != '&' && texto[fim] != '#' && static_cast<unsigned char>(texto[fim]) > 32)
      ++fim;
    std::string token;
    for (std::size_t i = pos + kChave.size(); i < fim; ++i) {
      if (texto[i] == '%' && i + 2 < fim && DigitoHexa(texto[i + 1]) >= 0 && DigitoHexa(texto[i + 2]) >= 0) {
        token += static_cast<char>(DigitoHexa(texto[i + 1]) * 16 + DigitoHexa(texto[i + 2]));
        i += 2;
      } else {
        token += texto[i];
      }
    }
    // A short token would show too much of itself: none of it goes.
    std::string mostrado;
    if (CaracteresUtf8(token) > 8) {
      std::size_t corte = 0;
      for (int caracteres = 0; corte < token.size() && caracteres < 4; ++caracteres) {
        ++corte;
        while (corte < token.size() && (static_cast<unsigned char>(token[corte]) & 0xC0) == 0x80) ++corte;
      }
      mostrado = token.substr(0, corte);
    }
    saida.append(texto, inicio, pos + kChave.size() - inicio);
    saida += mostrado + "****";
    inicio = fim;
  }
  saida.append(texto, inicio, std::string::npos);
  return saida;
}

std::string MinusculasAscii(std::string texto) {
  for (char& c : texto)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return texto;
}

std::string MaiusculasAscii(std::string texto) {
  for (char& c : texto)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return texto;
}

bool IguaisSemCaixa(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto minuscula = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (minuscula(a[i]) != minuscula(b[i])) return false;
  return true;
}

bool ValidadorUtf8::Aceitar(unsigned char c) {
  if (faltam_ == 0) {
    if (c < 0x80) return true;
    if (c >= 0xC2 && c <= 0xDF) return Esperar(1, 0x80, 0xBF);
    if (c == 0xE0) return Esperar(2, 0xA0, 0xBF);
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return Esperar(2, 0x80, 0xBF);
    if (c == 0xED) return Esperar(2, 0x80, 0x9F);  // no surrogates
    if (c == 0xF0) return Esperar(3, 0x90, 0xBF);
    if (c >= 0xF1 && c <= 0xF3) return Esperar(3, 0x80, 0xBF);
    if (c == 0xF4) return Esperar(3, 0x80, 0x8F);  // up to U+10FFFF
    return false;
  }
  if (c < minimo_ || c > maximo_) return false;
  --faltam_;
  minimo_ = 0x80;
  maximo_ = 0xBF;
  return true;
}

bool ValidadorUtf8::Esperar(int faltam, unsigned char minimo, unsigned char maximo) {
  faltam_ = faltam;
  minimo_ = minimo;
  maximo_ = maximo;
  return true;
}

std::size_t SequenciaUtf8(std::string_view texto) {
  ValidadorUtf8 validador;
  for (std::size_t i = 0; i < texto.size(); ++i) {
    if (!validador.Aceitar(static_cast<unsigned char>(texto[i]))) return 0;
    if (validador.Completo()) return i + 1;
  }
  return 0;
}

bool Utf8Valido(std::string_view texto) {
  ValidadorUtf8 validador;
  for (const char c : texto)
    if (!validador.Aceitar(static_cast<unsigned char>(c))) return false;
  return validador.Completo();
}

std::string Utf8Legivel(std::string_view texto) {
  std::string resultado;
  resultado.reserve(texto.size());
  std::size_t i = 0;
  while (i < texto.size()) {
    ValidadorUtf8 validador;
    std::size_t j = i;
    bool valido = true;
    do {
      if (!validador.Aceitar(static_cast<unsigned char>(texto[j]))) {
        valido = false;
        break;
      }
      ++j;
    } while (j < texto.size() && !validador.Completo());
    if (valido && validador.Completo()) {
      resultado.append(texto.substr(i, j - i));
      i = j;
    } else {
      resultado += "\xEF\xBF\xBD";
      i = j > i ? j : i + 1;  // the bytes of a broken sequence go as one
    }
  }
  return resultado;
}

std::size_t CaracteresUtf8(std::string_view texto) {
  std::size_t caracteres = 0;
  for (const unsigned char c : texto)
    if ((c & 0xC0) != 0x80) ++caracteres;
  return caracteres;
}

void AcrescentarUtf8(std::string& destino, char32_t c) {
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

std::string EmUmaLinha(std::string_view texto) {
  std::string linha;
  linha.reserve(texto.size());
  bool quebra = false;
  for (const char c : texto) {
    if (c == '\r' || c == '\n') {
      quebra = true;
      continue;
    }
    if (quebra && !linha.empty()) linha += ' ';
    quebra = false;
    linha += c;
  }
  return linha;
}
