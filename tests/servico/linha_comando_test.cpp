// Switches of the command line.
#include <gtest/gtest.h>

#include "servico/uservico.h"

namespace {

struct Caso {
  std::vector<std::string> argumentos;
  bool instalar, desinstalar, silencioso;
};

TEST(LinhaComando, SwitchesAfterSlashOrDashInAnyCaseAnywhere) {
  const Caso casos[] = {
      {{}, false, false, false},
      {{"-install"}, true, false, false},
      {{"/INSTALL"}, true, false, false},
      {{"/Install"}, true, false, false},
      {{"qualquer", "-iNsTaLl", "coisa"}, true, false, false},
      {{"/install", "/silent"}, true, false, true},
      {{"-SILENT", "-Uninstall"}, false, true, true},
      // UNINSTALL counts only without INSTALL.
      {{"/uninstall", "/install"}, true, false, false},
      // Whole words after one marker only.
      {{"install"}, false, false, false},
      {{"--install"}, false, false, false},
      {{"/installx"}, false, false, false},
      {{"/instal"}, false, false, false},
      {{"\\install"}, false, false, false},
      {{"/silent"}, false, false, true},
  };
  for (const auto& caso : casos) {
    std::string rotulo;
    for (const auto& a : caso.argumentos) rotulo += "[" + a + "]";
    const auto opcoes = LerLinhaComando(caso.argumentos);
    EXPECT_EQ(opcoes.Instalar, caso.instalar) << rotulo;
    EXPECT_EQ(opcoes.Desinstalar, caso.desinstalar) << rotulo;
    EXPECT_EQ(opcoes.Silencioso, caso.silencioso) << rotulo;
  }
}

TEST(LinhaComando, AnyKeyCanBeLookedFor) {
  EXPECT_TRUE(ProcurarChave({"/check"}, "CHECK"));
  EXPECT_TRUE(ProcurarChave({"a", "-Once"}, "ONCE"));
  EXPECT_FALSE(ProcurarChave({"/"}, "HELP"));
  EXPECT_FALSE(ProcurarChave({"", "-"}, ""));
}

}  // namespace
