#include "global/json.h"

#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "global/funcoes.h"

namespace {

// Names of the JSON value kinds and of the target types in the conversion
// error: "Conversion from TJSONObject to string is not supported".
const char* nome_tipo(const ValorJson& valor) {
  switch (valor.GetType()) {
    case rapidjson::kNullType: return "TJSONNull";
    case rapidjson::kFalseType: return "TJSONFalse";
    case rapidjson::kTrueType: return "TJSONTrue";
    case rapidjson::kObjectType: return "TJSONObject";
    case rapidjson::kArrayType: return "TJSONArray";
    case rapidjson::kStringType: return "TJSONString";
    case rapidjson::kNumberType: return "TJSONNumber";
  }
  return "TJSONValue";
}

ErroJson conversao_nao_suportada(const ValorJson& valor, const char* destino) {
  return ErroJson(std::string("Conversion from ") + nome_tipo(valor) + " to " + destino + " is not supported");
}

// The first member of that name: with duplicates, the first one wins.
const ValorJson& buscar_membro(const ValorJson& objeto, const std::string& membro) {
  if (objeto.IsObject()) {
    const ValorJson nome(rapidjson::StringRef(membro.data(), membro.size()));
    for (auto it = objeto.MemberBegin(); it != objeto.MemberEnd(); ++it)
      if (it->name == nome) return it->value;
  }
  throw ErroJson("Value '" + membro + "' not found");
}

std::string texto_de(const ValorJson& valor) {
  return std::string(valor.GetString(), valor.GetStringLength());
}

// A decimal number: sign, digits, an optional fraction after '.' or ',', an
// optional exponent. Sets zero when every digit of the mantissa is 0.
bool ler_numero(std::string_view t, bool& zero) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digitos = 0;
  zero = true;
  const auto ler_digitos = [&] {
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      if (t[i] != '0') zero = false;
      ++digitos;
      ++i;
    }
  };
  ler_digitos();
  if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
    ++i;
    ler_digitos();
  }
  if (digitos == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t expoente = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      ++expoente;
      ++i;
    }
    if (expoente == 0) return false;
  }
  return i == t.size();
}

// Nesting depth of the text, counting brackets outside strings. Checked
// before parsing, so that no document deeper than the limit is ever built.
bool profundidade_aceitavel(std::string_view texto) {
  int profundidade = 0;
  bool em_texto = false;
  bool escape = false;
  for (char c : texto) {
    if (em_texto) {
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        em_texto = false;
    } else if (c == '"') {
      em_texto = true;
    } else if (c == '[' || c == '{') {
      if (++profundidade > ProfundidadeMaximaJson) return false;
    } else if (c == ']' || c == '}') {
      --profundidade;
    }
  }
  return true;
}

}  // namespace

bool LerDocumentoJson(const std::string& texto, DocumentoJson& documento) {
  std::string_view conteudo = texto;
  if (conteudo.starts_with("\xEF\xBB\xBF")) conteudo.remove_prefix(3);
  // A raw NUL is never valid JSON, and the parser would take it for the end.
  if (conteudo.find('\0') != std::string_view::npos || !profundidade_aceitavel(conteudo)) {
    documento.SetNull();
    return false;
  }
  // Iterative parsing keeps the native stack flat whatever the nesting; the
  // default flags refuse anything but white space after the value.
  constexpr unsigned flags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
  documento.Parse<flags>(conteudo.data(), conteudo.size());
  if (!documento.HasParseError()) return true;
  documento.SetNull();  // never the value of an earlier text
  return false;
}

std::string LerTextoJson(const ValorJson& objeto, const std::string& membro) {
  const ValorJson& valor = buscar_membro(objeto, membro);
  switch (valor.GetType()) {
    case rapidjson::kStringType: return texto_de(valor);
    case rapidjson::kNullType: return {};
    case rapidjson::kTrueType: return "true";
    case rapidjson::kFalseType: return "false";
    case rapidjson::kNumberType: {
      // Only documents built by hand hold typed numbers; parsed ones keep the literal.
      rapidjson::StringBuffer saida;
      rapidjson::Writer<rapidjson::StringBuffer> escritor(saida);
      valor.Accept(escritor);
      return std::string(saida.GetString(), saida.GetSize());
    }
    default: throw conversao_nao_suportada(valor, "string");
  }
}

const ValorJson& LerListaJson(const ValorJson& objeto, const std::string& membro) {
  const ValorJson& valor = buscar_membro(objeto, membro);
  if (!valor.IsArray()) throw ErroJson("Invalid class typecast");
  return valor;
}

bool LerLogicoJson(const ValorJson& objeto, const std::string& membro) {
  const ValorJson& valor = buscar_membro(objeto, membro);
  switch (valor.GetType()) {
    case rapidjson::kTrueType: return true;
    case rapidjson::kFalseType: return false;
    case rapidjson::kStringType: {
      const std::string texto = texto_de(valor);
      bool zero = true;
      if (ler_numero(texto, zero)) return !zero;
      if (IguaisSemCaixa(texto, "true")) return true;
      if (IguaisSemCaixa(texto, "false")) return false;
      throw ErroJson("'" + texto + "' is not a valid boolean value");
    }
    case rapidjson::kNumberType:
      if (valor.IsDouble()) return valor.GetDouble() != 0;
      return !(valor.IsInt64() ? valor.GetInt64() == 0 : valor.GetUint64() == 0);
    default: throw conversao_nao_suportada(valor, "Boolean");
  }
}
