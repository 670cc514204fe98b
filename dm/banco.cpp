#include "dm/banco.h"

#include <firebird/Interface.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <list>
#include <mutex>
#include <set>

#include "dm/win1252.h"
#include "plataforma/bibliotecas.h"

namespace fb = Firebird;

// One value of a fetched row. Rows of the larger selections run to tens of
// thousands, so a cell keeps only what its rendering needs.
struct ValorCampo {
  enum class Tipo : std::uint8_t { Nulo, Inteiro, Real, Data, DataHora, Hora, Texto, Logico };
  Tipo tipo = Tipo::Nulo;
  std::int8_t escala = 0;    // Inteiro: the value is inteiro × 10^escala
  std::int64_t inteiro = 0;  // Inteiro; Real (bits of the double); Data: days since 1970-01-01;
                             // DataHora: ms since 1970-01-01; Hora: ms since midnight; Logico
  std::string texto;         // Texto, UTF-8
};

namespace {

// Firebird counts dates from 1858-11-17; this many days before 1970-01-01.
constexpr std::int64_t kDiasAte1970 = 40587;
constexpr std::int64_t kMsDia = 86400000;
constexpr unsigned kCharsetUtf8 = 4;
constexpr unsigned kCharsetWin1252 = 53;
constexpr unsigned kCharsetUnicodeFss = 3;
constexpr std::size_t kPreparadosGuardados = 8;
// 512 pages (4 MB at 8 KiB a page) instead of the engine's default 2048.
constexpr const char* kCacheMotorLocal = "DefaultDbCachePages=512";

fb::IMaster* Master() {
  static fb::IMaster* master = InterfaceMestreFirebird();
  return master;
}

fb::IUtil* Util() {
  static fb::IUtil* util = Master()->getUtilInterface();
  return util;
}

bool Utf8Valido(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

std::string TextoStatus(fb::IStatus* status) {
  char buffer[4096];
  unsigned n = Util()->formatStatus(buffer, sizeof buffer, status);
  std::string texto(buffer, std::min<std::size_t>(n, std::strlen(buffer)));
  while (!texto.empty() && (texto.back() == '\n' || texto.back() == '\r')) texto.pop_back();
  // Messages can carry data values in the connection's character set.
  if (!Utf8Valido(texto)) texto = lumiford::win1252::ParaUtf8(texto);
  return texto;
}

// A status for one call sequence; ThrowStatusWrapper turns errors into FbException.
class Status {
 public:
  Status() : status_(Master()->getStatus()), wrapper_(status_) {}
  ~Status() { status_->dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  fb::ThrowStatusWrapper* operator->() { return &wrapper_; }
  fb::ThrowStatusWrapper* get() { return &wrapper_; }

 private:
  fb::IStatus* status_;
  fb::ThrowStatusWrapper wrapper_;
};

template <class T>
struct Liberador {
  void operator()(T* p) const { p->release(); }
};
template <class T>
using Ref = std::unique_ptr<T, Liberador<T>>;

struct LiberadorXpb {
  void operator()(fb::IXpbBuilder* p) const { p->dispose(); }
};
using RefXpb = std::unique_ptr<fb::IXpbBuilder, LiberadorXpb>;

std::string Maiusculas(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IguaisSemCaixa(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string Aparado(std::string_view s) {
  std::size_t i = 0, f = s.size();
  while (i < f && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  while (f > i && static_cast<unsigned char>(s[f - 1]) <= ' ') --f;
  return std::string(s.substr(i, f - i));
}

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

std::int64_t DiasDe(Data data) {
  if (!data.ok()) throw ErroBanco("Data inválida");
  return std::chrono::sys_days{data}.time_since_epoch().count();
}

[[noreturn]] void NaoInteiro(const std::string& texto) {
  throw ErroBanco("'" + texto + "' is not a valid integer value");
}

[[noreturn]] void NaoReal(const std::string& texto) {
  throw ErroBanco("'" + texto + "' is not a valid floating point value");
}

std::int64_t LerInteiro(const std::string& original) {
  std::string t = Aparado(original);
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t v = 0;
  auto [fim, erro] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || erro != std::errc{} || fim != s.data() + s.size()) NaoInteiro(original);
  return v;
}

double LerReal(const std::string& original) {
  std::string t = Aparado(original);
  std::replace(t.begin(), t.end(), ',', '.');
  std::string_view s = t;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [fim, erro] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || erro != std::errc{} || fim != s.data() + s.size()) NaoReal(original);
  return v;
}

// One ":NAME" of the statement text, in order of appearance.
struct TextoPosicional {
  std::string sql;                  // with "?" in place of every :NAME
  std::vector<std::string> nomes;   // upper case, one per "?"
};

bool InicioNome(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ParteNome(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

TextoPosicional Posicional(const std::string& sql) {
  TextoPosicional r;
  r.sql.reserve(sql.size());
  const std::size_t n = sql.size();
  std::size_t i = 0;
  auto copiarAte = [&](std::size_t fim) {
    r.sql.append(sql, i, fim - i);
    i = fim;
  };
  while (i < n) {
    char c = sql[i];
    char prox = i + 1 < n ? sql[i + 1] : '\0';
    if (c == '\'' || c == '"') {
      // A doubled quote inside stays inside; the scan just resumes after it.
      std::size_t f = sql.find(c, i + 1);
      copiarAte(f == std::string::npos ? n : f + 1);
    } else if ((c == 'q' || c == 'Q') && prox == '\'' && i + 2 < n &&
               (i == 0 || !ParteNome(sql[i - 1]))) {
      char abre = sql[i + 2];
      char fecha = abre == '(' ? ')' : abre == '[' ? ']' : abre == '{' ? '}' : abre == '<' ? '>' : abre;
      std::size_t f = i + 3;
      while (f + 1 < n && !(sql[f] == fecha && sql[f + 1] == '\'')) ++f;
      copiarAte(std::min(n, f + 2));
    } else if (c == '-' && prox == '-') {
      std::size_t f = sql.find('\n', i);
      copiarAte(f == std::string::npos ? n : f + 1);
    } else if (c == '/' && prox == '*') {
      std::size_t f = sql.find("*/", i + 2);
      copiarAte(f == std::string::npos ? n : f + 2);
    } else if (c == ':' && InicioNome(prox)) {
      std::size_t f = i + 1;
      while (f < n && ParteNome(sql[f])) ++f;
      r.nomes.push_back(Maiusculas(sql.substr(i + 1, f - i - 1)));
      r.sql.push_back('?');
      i = f;
    } else {
      r.sql.push_back(c);
      ++i;
    }
  }
  return r;
}

struct Coluna {
  std::string nome;   // alias as the statement gives it
  std::string chave;  // upper case, for the lookup by name
  unsigned tipo = 0;
  int escala = 0;
  unsigned comprimento = 0;
  unsigned deslocamento = 0;
  unsigned deslocamentoNulo = 0;
  unsigned charset = 0;
  int subtipo = 0;
};

// Input message built from the types set on the parameters.
struct Entrada {
  Ref<fb::IMessageMetadata> metadados;
  std::vector<std::pair<int, unsigned>> assinatura;  // type and capacity per position
  std::vector<unsigned> deslocamentos, deslocamentosNulo;
  std::vector<unsigned char> buffer;
};

struct Preparado {
  std::string sql;  // positional text, the key
  Ref<fb::IStatement> comando;
  Ref<fb::IMessageMetadata> saida;
  std::shared_ptr<const std::vector<Coluna>> colunas;
  std::vector<unsigned char> bufferSaida;
  unsigned tamanhoSaida = 0;
  bool temCursor = false;
  Entrada entrada;
};

}  // namespace

// ---------------------------------------------------------------------------
// Moeda

Moeda Moeda::DeTexto(const std::string& original) {
  std::string t = Aparado(original);
  std::size_t i = 0;
  bool negativo = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negativo = t[i++] == '-';
  std::string inteira, fracao;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) inteira.push_back(t[i++]);
  if (i < t.size() && (t[i] == ',' || t[i] == '.')) {
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) fracao.push_back(t[i++]);
  }
  if (i != t.size() || (inteira.empty() && fracao.empty())) NaoReal(original);
  inteira.erase(0, std::min(inteira.find_first_not_of('0'), inteira.size()));
  if (inteira.size() > 15) NaoReal(original);
  std::string quatro = fracao.substr(0, std::min<std::size_t>(4, fracao.size()));
  quatro.append(4 - quatro.size(), '0');
  // 15 integer digits and 4 decimals, rounding included, fit 64 bits unsigned.
  std::uint64_t v = (inteira.empty() ? 0 : std::stoull(inteira)) * 10000 + std::stoull(quatro);
  if (fracao.size() > 4) {
    std::string resto = fracao.substr(4);
    bool acimaMetade = resto[0] > '5' || (resto[0] == '5' && resto.find_first_not_of('0', 1) != std::string::npos);
    bool metade = resto[0] == '5' && !acimaMetade;
    if (acimaMetade || (metade && v % 2 != 0)) ++v;
  }
  constexpr auto kMaximo = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (v > kMaximo + (negativo ? 1 : 0)) NaoReal(original);
  if (negativo) return Moeda{static_cast<std::int64_t>(0 - v)};
  return Moeda{static_cast<std::int64_t>(v)};
}

std::string Moeda::ComoTexto() const { return DecimalComoTexto(dezmilesimos, -4); }

// ---------------------------------------------------------------------------
// Conexao

struct Conexao::Impl {
  fb::IAttachment* anexo = nullptr;
  std::vector<unsigned char> tpb;
  bool utf8 = false;
  std::set<Consulta::Impl*> consultas;
};

struct Consulta::Impl {
  Conexao& conexao;
  std::string sqlOriginal;
  TextoPosicional posicional;
  std::vector<std::string> nomesParametros;   // distinct, upper case
  std::vector<Parametro> parametros;          // same order as nomesParametros
  std::vector<std::size_t> indiceParametro;   // per "?" position
  std::list<Preparado> preparados;            // most recently used first
  std::shared_ptr<const std::vector<Coluna>> colunas;  // of the open result
  std::vector<std::string> textos;            // converted text parameters, per position
  std::vector<ValorCampo> celulas;            // rows × columns
  std::size_t linhas = 0;
  std::size_t posicao = 0;
  bool ativo = false;
  std::int64_t afetadas = 0;

  explicit Impl(Conexao& c) : conexao(c) {}
  void LiberarPreparados() { preparados.clear(); }
  void Executar(bool abrir);
  Preparado& Preparar(fb::IAttachment* anexo, fb::ITransaction* transacao, Status& st);
  void MontarEntrada(Preparado& p, Status& st);
  void LerLinha(const Preparado& p, const unsigned char* buf, fb::IAttachment* anexo,
                fb::ITransaction* transacao, Status& st);
};

Conexao::Conexao() : impl_(std::make_unique<Impl>()) {}

Conexao::~Conexao() {
  Disconnect();
}

Conexao::Impl& Conexao::impl() { return *impl_; }

bool Conexao::Connected() const { return impl_->anexo != nullptr; }

void Conexao::Connect() {
  if (impl_->anexo) return;
  std::string driver, banco, usuario, senha, charset, servidor, porta;
  for (const std::string& linha : Params) {
    std::size_t igual = linha.find('=');
    std::string nome = Maiusculas(Aparado(linha.substr(0, igual)));
    std::string valor = igual == std::string::npos ? std::string() : linha.substr(igual + 1);
    if (nome == "DRIVERID") driver = Aparado(valor);
    else if (nome == "DATABASE") banco = valor;
    else if (nome == "USER_NAME") usuario = valor;
    else if (nome == "PASSWORD") senha = valor;
    else if (nome == "CHARACTERSET") charset = Maiusculas(Aparado(valor));
    else if (nome == "SERVER") servidor = Aparado(valor);
    else if (nome == "PORT") porta = Aparado(valor);
  }
  if (!IguaisSemCaixa(driver, "FB"))
    throw ErroBanco("Driver de banco de dados não suportado: \"" + driver + "\" (esperado FB)");
  if (!charset.empty() && charset != "WIN1252" && charset != "UTF8" && charset != "NONE")
    throw ErroBanco("Conjunto de caracteres não suportado: " + charset);
  if (!servidor.empty()) banco = servidor + (porta.empty() ? "" : "/" + porta) + ":" + banco;

  Status st;
  try {
    RefXpb dpb(Util()->getXpbBuilder(st.get(), fb::IXpbBuilder::DPB, nullptr, 0));
    dpb->insertTag(st.get(), isc_dpb_utf8_filename);
    if (!usuario.empty()) dpb->insertString(st.get(), isc_dpb_user_name, usuario.c_str());
    if (!senha.empty()) dpb->insertString(st.get(), isc_dpb_password, senha.c_str());
    if (!charset.empty()) dpb->insertString(st.get(), isc_dpb_lc_ctype, charset.c_str());
    // A small page cache when the engine runs inside this process: the
    // service reads few pages per run and idles in between. A server drops
    // the settings a client sends, so a shared cache is never touched.
    dpb->insertString(st.get(), isc_dpb_config, kCacheMotorLocal);

    RefXpb tpb(Util()->getXpbBuilder(st.get(), fb::IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(st.get(), isc_tpb_write);
    tpb->insertTag(st.get(), isc_tpb_read_committed);
    tpb->insertTag(st.get(), isc_tpb_rec_version);
    tpb->insertTag(st.get(), isc_tpb_wait);
    tpb->insertInt(st.get(), isc_tpb_lock_timeout, 10);
    const unsigned char* b = tpb->getBuffer(st.get());
    impl_->tpb.assign(b, b + tpb->getBufferLength(st.get()));

    Ref<fb::IProvider> provedor(Master()->getDispatcher());
    impl_->anexo = provedor->attachDatabase(st.get(), banco.c_str(), dpb->getBufferLength(st.get()),
                                            dpb->getBuffer(st.get()));
    impl_->utf8 = charset == "UTF8";
  } catch (const fb::FbException& e) {
    throw ErroBanco(TextoStatus(e.getStatus()));
  }
}

void Conexao::Disconnect() {
  for (Consulta::Impl* c : impl_->consultas) {
    c->LiberarPreparados();
  }
  if (!impl_->anexo) return;
  Status st;
  try {
    impl_->anexo->detach(st.get());  // releases the interface on success
  } catch (const fb::FbException&) {
    impl_->anexo->release();
  }
  impl_->anexo = nullptr;
}

// ---------------------------------------------------------------------------
// Parametro

void Consulta::Parametro::AsInteger(std::int64_t valor) {
  tipo_ = Tipo::Inteiro;
  inteiro_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsString(const std::string& valor) {
  tipo_ = Tipo::Texto;
  texto_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsCurrency(Moeda valor) {
  tipo_ = Tipo::Moeda;
  moeda_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsDate(Data valor) {
  if (!valor.ok()) throw ErroBanco("Data inválida");
  tipo_ = Tipo::Data;
  data_ = valor;
  definido_ = true;
}

void Consulta::Parametro::Clear() {
  tipo_ = Tipo::Nulo;
  texto_.clear();
  definido_ = true;
}

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
      if (ms != 0) s += " " + TextoHora(ms);
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

// ---------------------------------------------------------------------------
// Consulta

Consulta::Consulta(Conexao& conexao) : impl_(std::make_unique<Impl>(conexao)) {
  conexao.impl().consultas.insert(impl_.get());
}

Consulta::~Consulta() {
  impl_->LiberarPreparados();
  impl_->conexao.impl().consultas.erase(impl_.get());
}

void Consulta::Close() {
  impl_->ativo = false;
  impl_->celulas.clear();
  // A large selection gives its memory back; small ones keep it for the next run.
  if (impl_->celulas.capacity() > 4096) impl_->celulas.shrink_to_fit();
  impl_->colunas.reset();
  impl_->linhas = 0;
  impl_->posicao = 0;
}

void Consulta::SetSQL(const std::string& sql) {
  Close();
  if (sql != impl_->sqlOriginal) {
    impl_->sqlOriginal = sql;
    impl_->posicional = Posicional(sql);
    impl_->nomesParametros.clear();
    impl_->indiceParametro.clear();
    for (const std::string& nome : impl_->posicional.nomes) {
      auto it = std::find(impl_->nomesParametros.begin(), impl_->nomesParametros.end(), nome);
      impl_->indiceParametro.push_back(static_cast<std::size_t>(it - impl_->nomesParametros.begin()));
      if (it == impl_->nomesParametros.end()) impl_->nomesParametros.push_back(nome);
    }
  }
  impl_->parametros.assign(impl_->nomesParametros.size(), Parametro{});
}

const std::string& Consulta::SQL() const { return impl_->sqlOriginal; }

Consulta::Parametro& Consulta::ParamByName(const std::string& nome) {
  std::string chave = Maiusculas(Aparado(nome));
  for (std::size_t i = 0; i < impl_->nomesParametros.size(); ++i)
    if (impl_->nomesParametros[i] == chave) return impl_->parametros[i];
  throw ErroBanco("Parâmetro '" + nome + "' não encontrado");
}

Preparado& Consulta::Impl::Preparar(fb::IAttachment* anexo, fb::ITransaction* transacao, Status& st) {
  for (auto it = preparados.begin(); it != preparados.end(); ++it) {
    if (it->sql == posicional.sql) {
      preparados.splice(preparados.begin(), preparados, it);
      return preparados.front();
    }
  }
  Preparado p;
  p.sql = posicional.sql;
  // The statement text travels in the connection's character set too.
  const std::string texto = conexao.impl().utf8 ? p.sql : lumiford::win1252::DeUtf8(p.sql);
  p.comando.reset(anexo->prepare(st.get(), transacao, static_cast<unsigned>(texto.size()), texto.c_str(), 3,
                                 fb::IStatement::PREPARE_PREFETCH_METADATA));
  unsigned tipo = p.comando->getType(st.get());
  p.temCursor = (p.comando->getFlags(st.get()) & fb::IStatement::FLAG_HAS_CURSOR) != 0 ||
                tipo == isc_info_sql_stmt_select || tipo == isc_info_sql_stmt_select_for_upd;
  p.saida.reset(p.comando->getOutputMetadata(st.get()));
  unsigned n = p.saida->getCount(st.get());
  p.tamanhoSaida = p.saida->getMessageLength(st.get());
  std::vector<Coluna> colunas;
  for (unsigned i = 0; i < n; ++i) {
    Coluna c;
    std::string nome = p.saida->getAlias(st.get(), i);
    if (nome.empty()) nome = p.saida->getField(st.get(), i);
    c.nome = conexao.impl().utf8 ? nome : lumiford::win1252::ParaUtf8(nome);
    c.chave = Maiusculas(c.nome);
    c.tipo = p.saida->getType(st.get(), i) & ~1u;
    c.escala = p.saida->getScale(st.get(), i);
    c.comprimento = p.saida->getLength(st.get(), i);
    c.deslocamento = p.saida->getOffset(st.get(), i);
    c.deslocamentoNulo = p.saida->getNullOffset(st.get(), i);
    c.charset = p.saida->getCharSet(st.get(), i);
    c.subtipo = p.saida->getSubType(st.get(), i);
    colunas.push_back(std::move(c));
  }
  p.colunas = std::make_shared<const std::vector<Coluna>>(std::move(colunas));
  p.bufferSaida.assign(p.tamanhoSaida, 0);
  preparados.push_front(std::move(p));
  if (preparados.size() > kPreparadosGuardados) preparados.pop_back();
  return preparados.front();
}

void Consulta::Impl::MontarEntrada(Preparado& p, Status& st) {
  const std::size_t n = indiceParametro.size();
  Entrada& e = p.entrada;
  if (n == 0) return;
  textos.resize(n);
  std::vector<std::pair<int, unsigned>> assinatura(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Parametro& par = parametros[indiceParametro[i]];
    unsigned capacidade = 0;
    if (par.tipo_ == Parametro::Tipo::Texto) {
      textos[i] = conexao.impl().utf8 ? par.texto_ : lumiford::win1252::DeUtf8(par.texto_);
      if (textos[i].size() > 32765)
        throw ErroBanco("Texto longo demais para o parâmetro " + nomesParametros[indiceParametro[i]]);
      capacidade = static_cast<unsigned>(textos[i].size());
    }
    assinatura[i] = {static_cast<int>(par.tipo_), capacidade};
  }
  bool refazer = !e.metadados || e.assinatura.size() != n;
  for (std::size_t i = 0; !refazer && i < n; ++i)
    refazer = e.assinatura[i].first != assinatura[i].first || e.assinatura[i].second < assinatura[i].second;
  if (refazer) {
    Ref<fb::IMetadataBuilder> construtor(Master()->getMetadataBuilder(st.get(), static_cast<unsigned>(n)));
    for (std::size_t i = 0; i < n; ++i) {
      auto idx = static_cast<unsigned>(i);
      switch (static_cast<Parametro::Tipo>(assinatura[i].first)) {
        case Parametro::Tipo::Inteiro:
        case Parametro::Tipo::Moeda:
          construtor->setType(st.get(), idx, SQL_INT64 + 1);
          construtor->setLength(st.get(), idx, sizeof(ISC_INT64));
          construtor->setScale(st.get(), idx,
                               assinatura[i].first == static_cast<int>(Parametro::Tipo::Moeda) ? -4 : 0);
          break;
        case Parametro::Tipo::Data:
          construtor->setType(st.get(), idx, SQL_TYPE_DATE + 1);
          construtor->setLength(st.get(), idx, sizeof(ISC_DATE));
          break;
        case Parametro::Tipo::Texto:
        case Parametro::Tipo::Nulo: {
          // Room to grow, so that texts of similar sizes share one message layout.
          unsigned capacidade = std::min(32765u, std::max(32u, (assinatura[i].second + 63) / 64 * 64));
          assinatura[i].second = capacidade;
          construtor->setType(st.get(), idx, SQL_VARYING + 1);
          construtor->setLength(st.get(), idx, capacidade);
          construtor->setCharSet(st.get(), idx, conexao.impl().utf8 ? kCharsetUtf8 : kCharsetWin1252);
          break;
        }
      }
    }
    e.metadados.reset(construtor->getMetadata(st.get()));
    e.assinatura = assinatura;
    e.deslocamentos.resize(n);
    e.deslocamentosNulo.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      e.deslocamentos[i] = e.metadados->getOffset(st.get(), static_cast<unsigned>(i));
      e.deslocamentosNulo[i] = e.metadados->getNullOffset(st.get(), static_cast<unsigned>(i));
    }
    e.buffer.assign(e.metadados->getMessageLength(st.get()), 0);
  }
  unsigned char* buf = e.buffer.data();
  for (std::size_t i = 0; i < n; ++i) {
    const Parametro& par = parametros[indiceParametro[i]];
    unsigned char* destino = buf + e.deslocamentos[i];
    ISC_SHORT nulo = par.tipo_ == Parametro::Tipo::Nulo ? -1 : 0;
    std::memcpy(buf + e.deslocamentosNulo[i], &nulo, sizeof nulo);
    switch (par.tipo_) {
      case Parametro::Tipo::Inteiro: {
        ISC_INT64 v = par.inteiro_;
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Moeda: {
        ISC_INT64 v = par.moeda_.dezmilesimos;
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Data: {
        auto v = static_cast<ISC_DATE>(DiasDe(par.data_) + kDiasAte1970);
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Texto: {
        auto tamanho = static_cast<ISC_USHORT>(textos[i].size());
        std::memcpy(destino, &tamanho, sizeof tamanho);
        std::memcpy(destino + sizeof tamanho, textos[i].data(), textos[i].size());
        break;
      }
      case Parametro::Tipo::Nulo: {
        ISC_USHORT zero = 0;
        std::memcpy(destino, &zero, sizeof zero);
        break;
      }
    }
  }
}

namespace {
// A value of the message buffer, which need not be aligned for its type.
template <class T>
T Ler(const unsigned char* dado) {
  T x;
  std::memcpy(&x, dado, sizeof x);
  return x;
}
}  // namespace

void Consulta::Impl::LerLinha(const Preparado& p, const unsigned char* buf, fb::IAttachment* anexo,
                              fb::ITransaction* transacao, Status& st) {
  const bool utf8 = conexao.impl().utf8;
  auto texto = [&](const char* bytes, std::size_t n, unsigned charset) {
    if (utf8 || charset == kCharsetUtf8 || charset == kCharsetUnicodeFss) return std::string(bytes, n);
    return lumiford::win1252::ParaUtf8(std::string_view(bytes, n));
  };
  for (const Coluna& c : *p.colunas) {
    ValorCampo& v = celulas.emplace_back();
    if (Ler<ISC_SHORT>(buf + c.deslocamentoNulo)) continue;
    const unsigned char* dado = buf + c.deslocamento;
    v.escala = static_cast<std::int8_t>(c.escala);
    switch (c.tipo) {
      case SQL_SHORT:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_SHORT>(dado);
        break;
      case SQL_LONG:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_LONG>(dado);
        break;
      case SQL_INT64:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_INT64>(dado);
        break;
      case SQL_FLOAT: {
        const auto x = Ler<float>(dado);
        v.tipo = ValorCampo::Tipo::Real;
        v.inteiro = std::bit_cast<std::int64_t>(static_cast<double>(x));
        break;
      }
      case SQL_DOUBLE:
      case SQL_D_FLOAT: {
        const auto x = Ler<double>(dado);
        v.tipo = ValorCampo::Tipo::Real;
        v.inteiro = std::bit_cast<std::int64_t>(x);
        break;
      }
      case SQL_TYPE_DATE: {
        const auto x = Ler<ISC_DATE>(dado);
        v.tipo = ValorCampo::Tipo::Data;
        v.inteiro = x - kDiasAte1970;
        break;
      }
      case SQL_TIMESTAMP: {
        const auto x = Ler<ISC_TIMESTAMP>(dado);
        v.tipo = ValorCampo::Tipo::DataHora;
        v.inteiro = (x.timestamp_date - kDiasAte1970) * kMsDia + x.timestamp_time / 10;
        break;
      }
      case SQL_TYPE_TIME: {
        const auto x = Ler<ISC_TIME>(dado);
        v.tipo = ValorCampo::Tipo::Hora;
        v.inteiro = x / 10;
        break;
      }
      case SQL_TEXT:
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = texto(reinterpret_cast<const char*>(dado), c.comprimento, c.charset);
        break;
      case SQL_VARYING: {
        const auto n = Ler<ISC_USHORT>(dado);
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = texto(reinterpret_cast<const char*>(dado + sizeof n), n, c.charset);
        break;
      }
      case SQL_BOOLEAN:
        v.tipo = ValorCampo::Tipo::Logico;
        v.inteiro = *dado ? 1 : 0;
        break;
      case SQL_BLOB: {
        auto id = Ler<ISC_QUAD>(dado);
        Ref<fb::IBlob> blob(anexo->openBlob(st.get(), transacao, &id, 0, nullptr));
        std::string bytes;
        char pedaco[16384];
        for (;;) {
          unsigned lido = 0;
          int r = blob->getSegment(st.get(), sizeof pedaco, pedaco, &lido);
          if (r == fb::IStatus::RESULT_OK || r == fb::IStatus::RESULT_SEGMENT)
            bytes.append(pedaco, lido);
          else
            break;
        }
        blob->close(st.get());
        (void)blob.release();  // close released it
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = c.subtipo == 1 ? texto(bytes.data(), bytes.size(), c.charset) : std::move(bytes);
        break;
      }
      case SQL_NULL:
        break;
      default:
        throw ErroBanco("Tipo de coluna não suportado (" + std::to_string(c.tipo) + "): " + c.nome);
    }
  }
}

void Consulta::Impl::Executar(bool abrir) {
  for (std::size_t i = 0; i < parametros.size(); ++i)
    if (!parametros[i].definido_) throw ErroBanco("Parâmetro sem valor: " + nomesParametros[i]);
  Conexao::Impl& cx = conexao.impl();
  if (!cx.anexo) throw ErroBanco("Conexão com a base de dados não está aberta");

  celulas.clear();
  colunas.reset();
  linhas = 0;
  posicao = 0;
  afetadas = 0;

  Status st;
  fb::ITransaction* transacao = nullptr;
  try {
    transacao = cx.anexo->startTransaction(st.get(), static_cast<unsigned>(cx.tpb.size()), cx.tpb.data());
    Preparado& p = Preparar(cx.anexo, transacao, st);
    if (abrir && !p.temCursor && p.colunas->empty())
      throw ErroBanco("O comando não retorna registros; use ExecSQL: " + sqlOriginal);
    MontarEntrada(p, st);
    fb::IMessageMetadata* meta = indiceParametro.empty() ? nullptr : p.entrada.metadados.get();
    void* bufEntrada = indiceParametro.empty() ? nullptr : p.entrada.buffer.data();
    unsigned char* saida = p.bufferSaida.data();
    if (p.temCursor) {
      Ref<fb::IResultSet> cursor(p.comando->openCursor(st.get(), transacao, meta, bufEntrada, p.saida.get(), 0));
      while (cursor->fetchNext(st.get(), saida) == fb::IStatus::RESULT_OK) {
        if (abrir) {
          LerLinha(p, saida, cx.anexo, transacao, st);
          ++linhas;
        }
      }
      cursor->close(st.get());
      (void)cursor.release();  // close released it
    } else {
      p.comando->execute(st.get(), transacao, meta, bufEntrada,
                         p.colunas->empty() ? nullptr : p.saida.get(),
                         p.colunas->empty() ? nullptr : saida);
      if (!p.colunas->empty() && abrir) {
        LerLinha(p, saida, cx.anexo, transacao, st);
        ++linhas;
      }
      afetadas = static_cast<std::int64_t>(p.comando->getAffectedRecords(st.get()));
    }
    transacao->commit(st.get());  // releases it
    transacao = nullptr;
    if (abrir) {
      colunas = p.colunas;  // shared: the cache may drop the statement meanwhile
    }
  } catch (...) {
    celulas.clear();
    linhas = 0;
    if (transacao) {
      Status st2;
      try {
        transacao->rollback(st2.get());
      } catch (const fb::FbException&) {
        transacao->release();
      }
    }
    try {
      throw;
    } catch (const fb::FbException& e) {
      throw ErroBanco(TextoStatus(e.getStatus()));
    }
  }
}

void Consulta::Open() {
  Close();
  impl_->Executar(true);
  impl_->ativo = true;
}

void Consulta::ExecSQL() {
  Close();
  impl_->Executar(false);
}

bool Consulta::Active() const { return impl_->ativo; }
bool Consulta::Eof() const { return !impl_->ativo || impl_->posicao >= impl_->linhas; }
void Consulta::First() { impl_->posicao = 0; }
void Consulta::Next() {
  if (impl_->posicao < impl_->linhas) ++impl_->posicao;
}
std::size_t Consulta::RecordCount() const { return impl_->ativo ? impl_->linhas : 0; }
std::size_t Consulta::FieldCount() const { return impl_->colunas ? impl_->colunas->size() : 0; }
std::int64_t Consulta::RowsAffected() const { return impl_->afetadas; }

std::string Consulta::FieldName(std::size_t indice) const {
  if (indice >= FieldCount()) throw ErroBanco("Campo " + std::to_string(indice) + " não existe");
  return (*impl_->colunas)[indice].nome;
}

Consulta::Campo Consulta::FieldByName(const std::string& nome) const {
  if (!impl_->ativo) throw ErroBanco("Consulta fechada: campo '" + nome + "' indisponível");
  std::string chave = Maiusculas(Aparado(nome));
  const std::size_t n = FieldCount();
  for (std::size_t i = 0; i < n; ++i) {
    if ((*impl_->colunas)[i].chave == chave) {
      Campo campo;
      if (impl_->posicao < impl_->linhas) campo.valor_ = &impl_->celulas[impl_->posicao * n + i];
      return campo;
    }
  }
  throw ErroBanco("Campo '" + nome + "' não encontrado");
}

void EncerrarMotorBanco() noexcept {
  // The engine's threads are ended here, while the process is whole, and not
  // by the client library's own clean-up at exit. The engine is not kept
  // loaded between connections: the client unloads it after a minute without
  // any, and an engine kept mapped after that never starts again, so a
  // database away for longer would never be reached again.
  try {
    fb::CheckStatusWrapper status(Master()->getStatus());
    fb::IProvider* despachante = Master()->getDispatcher();
    despachante->shutdown(&status, 0, fb_shutrsn_app_stopped);
    despachante->release();
    status.dispose();
  } catch (...) {
  }
}
