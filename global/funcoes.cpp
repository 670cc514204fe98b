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
  std::size_t caracteres = 0;
  for (unsigned char c : texto)
    if ((c & 0xC0) != 0x80) ++caracteres;
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

std::string Trim(const std::string& texto) {
  std::size_t inicio = 0;
  std::size_t fim = texto.size();
  while (inicio < fim && static_cast<unsigned char>(texto[inicio]) <= 32) ++inicio;
  while (fim > inicio && static_cast<unsigned char>(texto[fim - 1]) <= 32) --fim;
  return texto.substr(inicio, fim - inicio);
}
