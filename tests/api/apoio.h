// Shared by the tests of api/: a clean process state per test, with the log
// in the test's own directory, and the log's messages read back.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "global/datas.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/support/servidor_firebird.h"

namespace lumiford::teste {

// Messages of a log file in order: the text after "date time: ", or "" for
// the one-blank line.
inline std::vector<std::string> MensagensDoLog(const std::string& caminho) {
  std::ifstream entrada(caminho, std::ios::binary);
  std::string texto((std::istreambuf_iterator<char>(entrada)), std::istreambuf_iterator<char>());
  if (texto.rfind("\xEF\xBB\xBF", 0) == 0) texto.erase(0, 3);
  std::vector<std::string> mensagens;
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    auto fim = texto.find("\r\n", inicio);
    if (fim == std::string::npos) fim = texto.size();
    const std::string linha = texto.substr(inicio, fim - inicio);
    if (linha == " ") {
      mensagens.emplace_back();
    } else {
      const auto sep = linha.find(": ");
      mensagens.push_back(sep == std::string::npos ? linha : linha.substr(sep + 2));
    }
    inicio = fim + 2;
  }
  return mensagens;
}

// The messages without the "Motivo: " lines that follow a fixed error line,
// once each is checked to stand right after one and to say something: the
// tests of a flow's outcome read its fixed lines; the reasons themselves are
// checked where they are the point.
inline std::vector<std::string> SemMotivos(const std::vector<std::string>& linhas) {
  std::vector<std::string> fixas;
  for (std::size_t i = 0; i < linhas.size(); ++i) {
    if (linhas[i].rfind("Motivo: ", 0) != 0) {
      fixas.push_back(linhas[i]);
      continue;
    }
    const bool depois_de_fixa =
        i > 0 && (linhas[i - 1] == "Erro Desconhecido." || linhas[i - 1] == "Erro ao ler a resposta da API.");
    EXPECT_TRUE(depois_de_fixa) << "\"" << linhas[i] << "\" does not follow a fixed error line";
    EXPECT_GT(linhas[i].size(), std::string("Motivo: ").size()) << "a reason without its text";
  }
  return fixas;
}

// The fixture of a suite whose tests (TEST_P) run in every way the database
// is reached; the fixture builds its environment with `topologia`:
//
//   using FluxoPorTopologia = EmCadaTopologia<Fluxo>;
//   TEST_P(FluxoPorTopologia, ...) { ... }
//   INSTANTIATE_TEST_SUITE_P(Topologia, FluxoPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());
template <class Fixture>
class EmCadaTopologia : public Fixture, public ::testing::WithParamInterface<Topologia> {
 public:
  EmCadaTopologia() { this->topologia = GetParam(); }
};

class AmbienteApi : public ::testing::Test {
 protected:
  void SetUp() override {
    RestaurarGlobais();
    SubstituirDiretorioExecutavel(pasta.str());
  }
  void TearDown() override {
    SubstituirDiretorioExecutavel("");
    DefinirRelogio({});
    RestaurarGlobais();
  }

  std::vector<std::string> MensagensLog() const { return MensagensDoLog(pasta / "Log.txt"); }

  void CriarArquivo(const std::string& caminho, const std::string& conteudo) const {
    std::ofstream saida(caminho, std::ios::binary);
    saida << conteudo;
    ASSERT_TRUE(saida.good()) << caminho;
  }

  PastaTemporaria pasta{"lumiford-api"};
};

}  // namespace lumiford::teste
