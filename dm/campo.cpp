// Values as the layer renders them: a field as text, integer, number, date
// or currency, and the fixed-point amount to and from text.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "dm/banco_interno.h"

using namespace banco_interno;

namespace {

constexpr std::int64_t Potencia10(int n) {
  std::int64_t p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

// Decimal text of v × 10^escala: comma, no trailing zeros, no thousands separator.
std::string DecimalComoTexto(std::int64_t v, int escala) {
  bool negativo = v < 0;
  std::uint64_t absoluto = negativo ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string digitos = std::to_string(absoluto);
  if (escala > 0) {
    if (absoluto != 0) digitos.append(static_cast<std::size_t>(escala), '0');
  } else if (escala < 0) {
    auto casas = static_cast<std::size_t>(-escala);
    if (digitos.size() <= casas) digitos.insert(0, casas - digitos.size() + 1, '0');
    std::string inteira = digitos.substr(0, digitos.size() - casas);
    std::string fracao = digitos.substr(digitos.size() - casas);
    while (!fracao.empty() && fracao.back() == '0') fracao.pop_back();
    digitos = fracao.empty() ? inteira : inteira + "," + fracao;
  }
  if (negativo && absoluto != 0) digitos.insert(0, 1, '-');
  return digitos;
}

std::string DoisDigitos(unsigned v) {
  char b[3] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10), 0};
  return b;
}

std::string TextoData(std::int64_t dias) {
  std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{dias}}};
  int ano = static_cast<int>(ymd.year());
  char b[32];
  std::snprintf(b, sizeof b, "%02u/%02u/%04d", static_cast<unsigned>(ymd.day()),
                static_cast<unsigned>(ymd.month()), ano);
  return b;
}

std::string TextoHora(std::int64_t msDoDia) {
  auto s = static_cast<unsigned>(msDoDia / 1000);
  return DoisDigitos(s / 3600) + ":" + DoisDigitos(s / 60 % 60) + ":" + DoisDigitos(s % 60);
}

[[noreturn]] void NaoInteiro(const std::string& texto) {
  throw ErroBanco("'" + texto + "' is not a valid integer value");
}

[[noreturn]] void NaoReal(const std::string& texto) {
  throw ErroBanco("'" + texto + "' is not a valid floating point value");
}

std::int64_t LerInteiro(const std::string& original) {
  std::string t = Trim(original);
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t v = 0;
  auto [fim, erro] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || erro != std::errc{} || fim != s.data() + s.size()) NaoInteiro(original);
  return v;
}

double LerReal(const std::string& original) {
  std::string t = Trim(original);
  std::replace(t.begin(), t.end(), ',', '.');
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [fim, erro] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || erro != std::errc{} || fim != s.data() + s.size()) NaoReal(original);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Moeda

// The regional reading of an amount: blanks around it, a sign, digits with
// the decimal comma and an exponent; four decimals are kept, a half going to
// the even neighbour. A point is no separator here.
Moeda Moeda::DeTexto(const std::string& original) {
  const std::string t = Trim(original);
  const auto digito = [&t](std::size_t i) { return i < t.size() && t[i] >= '0' && t[i] <= '9'; };
  std::size_t i = 0;
  bool negativo = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negativo = t[i++] == '-';
  std::string digitos;     // of the mantissa, without the comma
  std::int64_t casas = 0;  // how many of them come after the comma
  while (digito(i)) digitos.push_back(t[i++]);
  if (i < t.size() && t[i] == ',') {
    ++i;
    for (; digito(i); ++casas) digitos.push_back(t[i++]);
  }
  if (digitos.empty()) NaoReal(original);
  std::int64_t expoente = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool abaixo = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) abaixo = t[i++] == '-';
    if (!digito(i)) NaoReal(original);
    // Held far past any amount either way: a larger one changes nothing.
    while (digito(i)) expoente = std::min<std::int64_t>(expoente * 10 + (t[i++] - '0'), 1000000);
    if (abaixo) expoente = -expoente;
  }
  if (i != t.size()) NaoReal(original);

  digitos.erase(0, std::min(digitos.find_first_not_of('0'), digitos.size()));
  if (digitos.empty()) return Moeda{};
  // The amount in ten-thousandths is the digits times 10^escala.
  const std::int64_t escala = expoente - casas + 4;
  std::string inteira = digitos;
  char primeiro_resto = '0';   // first digit dropped
  bool resto_alem = false;     // a non-zero digit after it
  if (escala >= 0) {
    if (static_cast<std::int64_t>(digitos.size()) + escala > 19) NaoReal(original);
    inteira.append(static_cast<std::size_t>(escala), '0');
  } else if (-escala <= static_cast<std::int64_t>(digitos.size())) {
    const std::size_t corte = digitos.size() - static_cast<std::size_t>(-escala);
    inteira = digitos.substr(0, corte);
    primeiro_resto = digitos[corte];
    resto_alem = digitos.find_first_not_of('0', corte + 1) != std::string::npos;
  } else {
    inteira.clear();  // every digit lies below the fourth decimal, the first after a zero
  }
  if (inteira.size() > 19) NaoReal(original);
  std::uint64_t v = inteira.empty() ? 0 : std::stoull(inteira);
  const bool acima_metade = primeiro_resto > '5' || (primeiro_resto == '5' && resto_alem);
  if (acima_metade || (primeiro_resto == '5' && v % 2 != 0)) ++v;
  constexpr auto kMaximo = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (v > kMaximo + (negativo ? 1 : 0)) NaoReal(original);
  if (negativo) return Moeda{static_cast<std::int64_t>(0 - v)};
  return Moeda{static_cast<std::int64_t>(v)};
}

std::string Moeda::ComoTexto() const { return DecimalComoTexto(dezmilesimos, -4); }

// ---------------------------------------------------------------------------
// Campo

bool Consulta::Campo::IsNull() const { return !valor_ || valor_->tipo == ValorCampo::Tipo::Nulo; }

std::string Consulta::Campo::AsString() const {
  if (IsNull()) return {};
  const ValorCampo& v = *valor_;
  switch (v.tipo) {
    case ValorCampo::Tipo::Inteiro:
      return DecimalComoTexto(v.inteiro, v.escala);
    case ValorCampo::Tipo::Real: {
      double d = std::bit_cast<double>(v.inteiro);
      if (std::isnan(d)) return "NAN";
      if (std::isinf(d)) return d > 0 ? "INF" : "-INF";
      char b[64];
      auto [fim, erro] = std::to_chars(b, b + sizeof b, d);
      std::string s(b, fim);
      std::replace(s.begin(), s.end(), '.', ',');
      return s;
    }
    case ValorCampo::Tipo::Data:
      return TextoData(v.inteiro);
    case ValorCampo::Tipo::DataHora: {
      std::int64_t dias = v.inteiro >= 0 ? v.inteiro / kMsDia : -((-v.inteiro + kMsDia - 1) / kMsDia);
      std::int64_t ms = v.inteiro - dias * kMsDia;
      std::string s = TextoData(dias);
      if (ms != 0) {
        s += ' ';
        s += TextoHora(ms);
      }
      return s;
    }
    case ValorCampo::Tipo::Hora:
      return TextoHora(v.inteiro);
    case ValorCampo::Tipo::Texto:
      return v.texto;
    case ValorCampo::Tipo::Logico:
      return v.inteiro ? "True" : "False";
    case ValorCampo::Tipo::Nulo:
      break;
  }
  return {};
}

std::int64_t Consulta::Campo::AsInteger() const {
  if (IsNull()) return 0;
  const ValorCampo& v = *valor_;
  switch (v.tipo) {
    case ValorCampo::Tipo::Inteiro: {
      if (v.escala == 0) return v.inteiro;
      if (v.escala > 0) {
        std::int64_t p = Potencia10(v.escala);
        if (v.inteiro > std::numeric_limits<std::int64_t>::max() / p ||
            v.inteiro < std::numeric_limits<std::int64_t>::min() / p)
          NaoInteiro(AsString());
        return v.inteiro * p;
      }
      std::int64_t p = Potencia10(-v.escala);
      if (v.inteiro % p != 0) NaoInteiro(AsString());
      return v.inteiro / p;
    }
    case ValorCampo::Tipo::Real: {
      double d = std::bit_cast<double>(v.inteiro);
      if (!std::isfinite(d) || d != std::trunc(d) || std::fabs(d) >= 9.2e18) NaoInteiro(AsString());
      return static_cast<std::int64_t>(d);
    }
    case ValorCampo::Tipo::Texto:
      return LerInteiro(v.texto);
    case ValorCampo::Tipo::Logico:
      return v.inteiro;
    default:
      NaoInteiro(AsString());
  }
}

double Consulta::Campo::AsFloat() const {
  if (IsNull()) return 0;
  const ValorCampo& v = *valor_;
  switch (v.tipo) {
    case ValorCampo::Tipo::Inteiro:
      if (v.escala < 0 && v.escala >= -18) {
        // Exact operands give the double nearest to the decimal value.
        if (std::llabs(v.inteiro) < (std::int64_t{1} << 53))
          return static_cast<double>(v.inteiro) / static_cast<double>(Potencia10(-v.escala));
        return LerReal(AsString());
      }
      return static_cast<double>(v.inteiro) * std::pow(10.0, v.escala);
    case ValorCampo::Tipo::Real:
      return std::bit_cast<double>(v.inteiro);
    case ValorCampo::Tipo::Texto:
      return LerReal(v.texto);
    case ValorCampo::Tipo::Logico:
      return static_cast<double>(v.inteiro);
    // Dates as a count of days since 30/12/1899 with the time as the fraction.
    case ValorCampo::Tipo::Data:
      return static_cast<double>(v.inteiro + 25569);
    case ValorCampo::Tipo::DataHora:
      return static_cast<double>(v.inteiro) / kMsDia + 25569;
    case ValorCampo::Tipo::Hora:
      return static_cast<double>(v.inteiro) / kMsDia;
    case ValorCampo::Tipo::Nulo:
      break;
  }
  return 0;
}

DataHora Consulta::Campo::AsDateTime() const {
  if (IsNull()) return DataHora{};
  const ValorCampo& v = *valor_;
  switch (v.tipo) {
    case ValorCampo::Tipo::Data:
      return DataHora{std::chrono::milliseconds{v.inteiro * kMsDia}};
    case ValorCampo::Tipo::DataHora:
    case ValorCampo::Tipo::Hora:
      return DataHora{std::chrono::milliseconds{v.inteiro}};
    case ValorCampo::Tipo::Texto: {
      // dd/mm/yyyy
      unsigned d = 0, m = 0;
      int a = 0;
      char resto = 0;
      if (std::sscanf(v.texto.c_str(), "%2u/%2u/%4d%c", &d, &m, &a, &resto) == 3) {
        Data data{std::chrono::year{a}, std::chrono::month{m}, std::chrono::day{d}};
        if (data.ok()) return DataHora{std::chrono::milliseconds{DiasDe(data) * kMsDia}};
      }
      throw ErroBanco("'" + v.texto + "' is not a valid date");
    }
    default:
      throw ErroBanco("'" + AsString() + "' is not a valid date");
  }
}

Moeda Consulta::Campo::AsCurrency() const {
  if (IsNull()) return Moeda{};
  const ValorCampo& v = *valor_;
  switch (v.tipo) {
    case ValorCampo::Tipo::Inteiro: {
      if (v.escala >= -4) {
        std::int64_t p = Potencia10(4 + v.escala);
        if (v.inteiro > std::numeric_limits<std::int64_t>::max() / p ||
            v.inteiro < std::numeric_limits<std::int64_t>::min() / p)
          NaoReal(AsString());
        return Moeda{v.inteiro * p};
      }
      return Moeda::DeTexto(AsString());
    }
    case ValorCampo::Tipo::Real: {
      double d = std::bit_cast<double>(v.inteiro) * 10000.0;
      if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) NaoReal(AsString());
      return Moeda{std::llround(d)};
    }
    case ValorCampo::Tipo::Texto:
      return Moeda::DeTexto(v.texto);
    default:
      NaoReal(AsString());
  }
}
