// The settings' likely mistakes, as the operator's check and the install tell
// them: each a text of its own, nothing for a file that is right.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "global/uglobal.h"

namespace {

// UTF-16 little-endian of an ASCII text, with or without its byte-order mark.
std::string Utf16(const std::string& texto, bool marca, bool big_endian = false) {
  std::string bytes = marca ? (big_endian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : texto) {
    if (big_endian) bytes += '\0';
    bytes += c;
    if (!big_endian) bytes += '\0';
  }
  return bytes;
}

const std::string kCerto = "[Lumiford]\r\nEmpresa=7\r\nLumiford=C:\\Lumiford\r\nServidor=/srv/erp/dados\r\n"
                           "Nome_Servidor=erp\r\nDebug=\r\n";

struct Caso {
  const char* nome;
  std::string bytes;
  std::vector<std::string> avisos;  // a part of each warning, in order; empty: no warning
};

class AvisosConfiguracaoTest : public ::testing::TestWithParam<Caso> {};

TEST_P(AvisosConfiguracaoTest, TellsEachLikelyMistakeOnce) {
  const Caso& caso = GetParam();
  const auto avisos = AvisosConfiguracao(caso.bytes);
  ASSERT_EQ(avisos.size(), caso.avisos.size()) << ::testing::PrintToString(avisos);
  for (std::size_t i = 0; i < avisos.size(); ++i) {
    EXPECT_NE(avisos[i].find(caso.avisos[i]), std::string::npos) << avisos[i];
    EXPECT_EQ(avisos[i].find_first_of("\r\n"), std::string::npos) << avisos[i];
  }
}

const std::string kSemNome = "o serviço se chamaria lumiford_financeiro_000";

INSTANTIATE_TEST_SUITE_P(
    Casos, AvisosConfiguracaoTest,
    ::testing::Values(
        Caso{"right", kCerto, {}},
        Caso{"right, other case and blanks", "[lumiford]\nEMPRESA = 0x1F\n servidor = /srv/erp \n", {}},
        Caso{"right in UTF-16 with its mark", Utf16(kCerto, true), {}},
        Caso{"right with the UTF-8 mark", "\xEF\xBB\xBF" + kCerto, {}},
        Caso{"comment lines and other sections", "; notas\r\n[Outra]\r\nQualquer=1\r\n" + kCerto + "; fim\r\n", {}},
        Caso{"typing error in Empresa",
             "[Lumiford]\r\nEmpressa=7\r\nServidor=/srv/erp/dados\r\n",
             {"chave desconhecida em [Lumiford]: \"Empressa\" (seria Empresa?)", "Empresa não está em lumiford.ini: " + kSemNome}},
        Caso{"typing error in Servidor",
             "[Lumiford]\r\nEmpresa=7\r\nServidr=/srv/erp/dados\r\n",
             {"\"Servidr\" (seria Servidor?)", "Servidor está vazio"}},
        Caso{"a key like none of ours",
             "[Lumiford]\r\nEmpresa=7\r\nServidor=/srv\r\nPorta=3050\r\n",
             {"\"Porta\" (as chaves são Empresa, Lumiford, Servidor, Nome_Servidor, Debug, CertificadoCA, "
              "VerificarCertificado)"}},
        Caso{"inline comment after Empresa",
             "[Lumiford]\r\nEmpresa = 07 ; empresa principal\r\nServidor=/srv\r\n",
             {"o valor de Empresa parece ter um comentário (\"07 ; empresa principal\")",
              "Empresa = \"07 ; empresa principal\" vale 0: " + kSemNome}},
        Caso{"inline comment after Servidor",
             "[Lumiford]\r\nEmpresa=7\r\nServidor=/srv/erp  # pasta do ERP\r\n",
             {"o valor de Servidor parece ter um comentário"}},
        Caso{"a ; inside a value is no comment", "[Lumiford]\r\nEmpresa=7\r\nServidor=/srv/a;b\r\n", {}},
        Caso{"Empresa 0", "[Lumiford]\r\nEmpresa=0\r\nServidor=/srv\r\n", {"Empresa = \"0\" vale 0: " + kSemNome}},
        Caso{"Empresa not a number", "[Lumiford]\r\nEmpresa=sete\r\nServidor=/srv\r\n", {"Empresa = \"sete\" vale 0"}},
        Caso{"Empresa missing", "[Lumiford]\r\nServidor=/srv\r\n", {"Empresa não está em lumiford.ini"}},
        Caso{"Servidor empty", "[Lumiford]\r\nEmpresa=7\r\nServidor=\r\n", {"Servidor está vazio"}},
        Caso{"repeated key", "[Lumiford]\r\nEmpresa=7\r\nServidor=/srv\r\nempresa=8\r\n",
             {"chave repetida em [Lumiford]: Empresa (vale a primeira)"}},
        Caso{"no section", "Empresa=7\r\nServidor=/srv\r\n", {"a seção [Lumiford] não está em lumiford.ini"}},
        Caso{"empty file", "", {"a seção [Lumiford] não está em lumiford.ini"}},
        Caso{"UTF-16 without its mark", Utf16(kCerto, false),
             {"lumiford.ini está em UTF-16 sem a marca de ordem de bytes (BOM): nenhuma chave é lida"}},
        Caso{"UTF-16 big-endian", Utf16(kCerto, true, true), {"lumiford.ini está em UTF-16 big-endian"}},
        Caso{"UTF-16 big-endian without its mark", Utf16(kCerto, false, true),
             {"lumiford.ini está em UTF-16 big-endian"}}),
    [](const ::testing::TestParamInfo<Caso>& info) {
      std::string nome;
      for (const char c : std::string(info.param.nome)) nome += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return nome;
    });

}  // namespace
