// Reading replies of the web service: the document parser and the three
// member accessors with their fixed error texts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "global/json.h"

namespace {

DocumentoJson Documento(const std::string& texto) {
  DocumentoJson documento;
  EXPECT_TRUE(LerDocumentoJson(texto, documento)) << texto;
  return documento;
}

// Runs the call and returns the text of the ErroJson it must raise.
std::string Erro(const std::function<void()>& chamada) {
  try {
    chamada();
  } catch (const ErroJson& e) {
    const std::runtime_error& base = e;  // every failure is a runtime_error
    return base.what();
  }
  return "(no error)";
}

const char* const resposta = R"({
  "texto": "olá \"mundo\"\n", "inteiro": 42, "decimal": 150.75, "grande": 123456789012345678901234567890,
  "expoente": -1.50E+3, "zero": 0.000, "verdade": true, "falso": false, "nulo": null,
  "objeto": {"a": 1}, "lista": [1, "dois", null], "vazia": [],
  "logico_texto": "TRUE", "logico_um": "1", "logico_zero": "0", "logico_palavra": "sim",
  "logico_decimal": "0,5", "vazio": "",
  "dup": "primeiro", "dup": "segundo"
})";

TEST(Json, LerTextoJson) {
  const DocumentoJson d = Documento(resposta);
  struct Caso {
    std::string membro;
    std::string texto;
  };
  const std::vector<Caso> casos = {
      {"texto", "olá \"mundo\"\n"},
      {"inteiro", "42"},
      {"decimal", "150.75"},  // numbers keep their literal text
      {"grande", "123456789012345678901234567890"},
      {"expoente", "-1.50E+3"},
      {"zero", "0.000"},
      {"verdade", "true"},
      {"falso", "false"},
      {"nulo", ""},
      {"vazio", ""},
      {"dup", "primeiro"},  // the first of repeated members wins
  };
  for (const auto& c : casos) EXPECT_EQ(LerTextoJson(d, c.membro), c.texto) << c.membro;

  EXPECT_EQ(Erro([&] { LerTextoJson(d, "cnpj"); }), "Value 'cnpj' not found");
  EXPECT_EQ(Erro([&] { LerTextoJson(d, "Texto"); }), "Value 'Texto' not found");  // names are exact
  EXPECT_EQ(Erro([&] { LerTextoJson(d, "objeto"); }), "Conversion from TJSONObject to string is not supported");
  EXPECT_EQ(Erro([&] { LerTextoJson(d, "lista"); }), "Conversion from TJSONArray to string is not supported");
  // A value that is not an object has no members.
  EXPECT_EQ(Erro([&] { LerTextoJson(d["lista"], "0"); }), "Value '0' not found");
  EXPECT_EQ(Erro([&] { LerTextoJson(d["texto"], "texto"); }), "Value 'texto' not found");
}

TEST(Json, LerTextoJsonOfHandBuiltNumbers) {
  DocumentoJson d;
  d.SetObject();
  d.AddMember("i", -7, d.GetAllocator());
  d.AddMember("u", UINT64_MAX, d.GetAllocator());
  d.AddMember("f", 1.5, d.GetAllocator());
  EXPECT_EQ(LerTextoJson(d, "i"), "-7");
  EXPECT_EQ(LerTextoJson(d, "u"), "18446744073709551615");
  EXPECT_EQ(LerTextoJson(d, "f"), "1.5");
  EXPECT_TRUE(LerLogicoJson(d, "f"));
}

TEST(Json, LerListaJson) {
  const DocumentoJson d = Documento(resposta);
  const ValorJson& lista = LerListaJson(d, "lista");
  ASSERT_EQ(lista.Size(), 3u);
  EXPECT_EQ(&lista, &d["lista"]);  // the document's own array, not a copy
  EXPECT_EQ(LerListaJson(d, "vazia").Size(), 0u);

  EXPECT_EQ(Erro([&] { LerListaJson(d, "data"); }), "Value 'data' not found");
  for (const char* membro : {"objeto", "texto", "inteiro", "nulo", "verdade"})
    EXPECT_EQ(Erro([&] { LerListaJson(d, membro); }), "Invalid class typecast") << membro;
}

TEST(Json, LerLogicoJson) {
  const DocumentoJson d = Documento(resposta);
  struct Caso {
    std::string membro;
    bool valor;
  };
  const std::vector<Caso> casos = {
      {"verdade", true},     {"falso", false},     {"logico_texto", true}, {"logico_um", true},
      {"logico_zero", false}, {"inteiro", true},    {"zero", false},        {"decimal", true},
      {"expoente", true},    {"logico_decimal", true},
  };
  for (const auto& c : casos) EXPECT_EQ(LerLogicoJson(d, c.membro), c.valor) << c.membro;

  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "sucesso"); }), "Value 'sucesso' not found");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "logico_palavra"); }), "'sim' is not a valid boolean value");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "vazio"); }), "'' is not a valid boolean value");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "texto"); }), "'olá \"mundo\"\n' is not a valid boolean value");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "nulo"); }), "Conversion from TJSONNull to Boolean is not supported");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "objeto"); }), "Conversion from TJSONObject to Boolean is not supported");
  EXPECT_EQ(Erro([&] { LerLogicoJson(d, "lista"); }), "Conversion from TJSONArray to Boolean is not supported");

  // Words in any case, numbers in their usual written forms.
  for (const auto& [texto, valor] : std::vector<std::pair<std::string, bool>>{
           {"true", true}, {"False", false}, {"tRuE", true}, {"-1", true}, {"+0", false}, {"0.0", false},
           {"1e-3", true}, {"0E5", false}, {".5", true}}) {
    const DocumentoJson x = Documento(R"({"v": ")" + texto + R"("})");
    EXPECT_EQ(LerLogicoJson(x, "v"), valor) << texto;
  }
  for (const std::string texto : {" true", "true ", "yes", "1x", "e5", "1e", "--1", ".", "0x1"}) {
    const DocumentoJson x = Documento(R"({"v": ")" + texto + R"("})");
    EXPECT_EQ(Erro([&] { LerLogicoJson(x, "v"); }), "'" + texto + "' is not a valid boolean value");
  }
}

TEST(Json, DocumentMustBeExactlyOneValidValue) {
  struct Caso {
    const char* nome;
    std::string texto;
    bool aceito;
  };
  const std::vector<Caso> casos = {
      {"objeto", R"({"a":1})", true},
      {"espaços em volta", " \r\n\t{\"a\":1}\n ", true},
      {"lista", "[1,2]", true},
      {"escalar", "42", true},
      {"marca UTF-8", "\xEF\xBB\xBF{}", true},
      {"vazio", "", false},
      {"só espaço", "  ", false},
      {"lixo depois", R"({"a":1} x)", false},
      {"dois valores", "{} {}", false},
      {"NUL depois", std::string("{}\0x", 4), false},
      {"NUL em texto", std::string("{\"a\":\"\0\"}", 8), false},
      {"UTF-8 inválido em texto", "{\"a\":\"\xFF\"}", false},
      {"forma longa", "{\"a\":\"\xC0\xAF\"}", false},
      {"vírgula sobrando", "[1,]", false},
      {"sem fechar", R"({"a":1)", false},
      {"HTML", "<html>erro</html>", false},
  };
  for (const auto& c : casos) {
    DocumentoJson d;
    EXPECT_EQ(LerDocumentoJson(c.texto, d), c.aceito) << c.nome;
  }
}

TEST(Json, DeepNestingIsBoundedAndSafe) {
  const auto aninhado = [](int n) { return std::string(static_cast<std::size_t>(n), '[') + std::string(static_cast<std::size_t>(n), ']'); };
  DocumentoJson d;
  EXPECT_TRUE(LerDocumentoJson(aninhado(ProfundidadeMaximaJson), d));
  EXPECT_FALSE(LerDocumentoJson(aninhado(ProfundidadeMaximaJson + 1), d));
  EXPECT_FALSE(LerDocumentoJson(aninhado(1000000), d));
  EXPECT_FALSE(LerDocumentoJson(std::string(1000000, '{'), d));
  // Brackets inside strings are text, not nesting.
  const std::string texto = "{\"a\":\"" + std::string(10000, '[') + "\\\"" + std::string(10000, '{') + "\"}";
  ASSERT_TRUE(LerDocumentoJson(texto, d));
  EXPECT_EQ(LerTextoJson(d, "a").size(), 20001u);
}

TEST(Json, DocumentCanBeReusedAfterAFailure) {
  DocumentoJson d;
  EXPECT_FALSE(LerDocumentoJson("{", d));
  ASSERT_TRUE(LerDocumentoJson(R"({"data":[{"id":"1"}]})", d));
  EXPECT_EQ(LerTextoJson(LerListaJson(d, "data")[0], "id"), "1");
  // A failed text leaves no trace of the earlier document.
  EXPECT_FALSE(LerDocumentoJson(R"({"data":[]} x)", d));
  EXPECT_TRUE(d.IsNull());
  EXPECT_EQ(Erro([&] { LerListaJson(d, "data"); }), "Value 'data' not found");
}

}  // namespace
