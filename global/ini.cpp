#include "global/ini.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

#include "dm/win1252.h"
#include "global/funcoes.h"

namespace {

constexpr std::size_t maximo_unidades_valor = 2047;  // UTF-16 units, as the profile functions count

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
      AcrescentarUtf8(texto, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (unidade(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AcrescentarUtf8(texto, 0xFFFD);
    } else {
      AcrescentarUtf8(texto, u);
    }
  }
  return texto;
}

// At most the given number of UTF-16 units, never splitting a character.
std::string cortar_valor(const std::string& valor) {
  std::size_t unidades = 0;
  std::size_t i = 0;
  while (i < valor.size()) {
    std::size_t n = SequenciaUtf8(std::string_view(valor).substr(i));
    if (n == 0) n = 1;
    const std::size_t custo = n == 4 ? 2 : 1;
    if (unidades + custo > maximo_unidades_valor) break;
    unidades += custo;
    i += n;
  }
  return valor.substr(0, i);
}

std::string valor_de(std::string_view bruto) {
  std::string valor = Trim(bruto);
  if (valor.size() >= 2 && (valor.front() == '"' || valor.front() == '\'') && valor.back() == valor.front())
    valor = valor.substr(1, valor.size() - 2);
  return cortar_valor(valor);
}

}  // namespace

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
    texto = Utf8Valido(b) ? std::string(b) : lumiford::win1252::ParaUtf8(b);
  }

  ArquivoIni ini;
  std::string secao;
  bool em_secao = false;
  std::string_view resto = texto;
  while (!resto.empty()) {
    const std::size_t fim = resto.find_first_of("\r\n");
    const std::string linha = Trim(resto.substr(0, fim));
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
        ini.secoes_.push_back(secao);
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
    if (IguaisSemCaixa(e.secao, secao) && IguaisSemCaixa(e.chave, chave)) return e.valor;
  return std::nullopt;
}

std::vector<ArquivoIni::Chave> ArquivoIni::Chaves(const std::string& secao) const {
  std::vector<Chave> chaves;
  for (const Entrada& e : entradas_)
    if (IguaisSemCaixa(e.secao, secao)) chaves.push_back({e.chave, e.valor});
  return chaves;
}

bool ArquivoIni::TemSecao(const std::string& secao) const {
  for (const std::string& s : secoes_)
    if (IguaisSemCaixa(s, secao)) return true;
  return false;
}

std::int32_t InteiroIni(const std::string& valor) {
  std::string_view t = valor;
  if (t.empty()) return 0;
  std::uint64_t numero = 0;
  if (t.starts_with("0x") || t.starts_with("0X") || t.starts_with("$")) {
    t.remove_prefix(t.front() == '$' ? 1 : 2);
    if (t.empty()) return 0;
    for (char c : t) {
      const int d = DigitoHexa(c);
      if (d < 0) return 0;
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
