// Registering and removing the service as a systemd unit, in a temporary
// unit directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "plataforma/gerenciador_servicos.h"
#include "tests/support/pasta_temporaria.h"

namespace {

using lumiford::teste::PastaTemporaria;

std::string Ler(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream texto;
  texto << arquivo.rdbuf();
  return texto.str();
}

class GerenciadorServicosTeste : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("LUMIFORD_UNIT_DIR", pasta.str().c_str(), 1); }
  void TearDown() override { ::unsetenv("LUMIFORD_UNIT_DIR"); }
  std::string Unidade(const std::string& nome) { return pasta / (nome + ".service"); }
  PastaTemporaria pasta;
};

TEST_F(GerenciadorServicosTeste, UnitCarriesTheRegistrationAndThenTheDescription) {
  GerenciadorServicos gerenciador;
  gerenciador.CriarServico({"lumiford_financeiro_001", "Lumiford 001 - Financeiro", "/opt/lumiford/lumiford_financeiro"});
  EXPECT_EQ(Ler(Unidade("lumiford_financeiro_001")),
            "# Lumiford 001 - Financeiro\n"
            "[Unit]\n"
            "Description=Lumiford 001 - Financeiro\n"
            "Wants=network-online.target\n"
            "After=network-online.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/lumiford/lumiford_financeiro\n"
            "Restart=on-failure\n"
            "RestartSec=30\n"
            // Above the longest row a stop waits for.
            "TimeoutStopSec=60\n"
            "User=root\n"
            "SyslogIdentifier=lumiford_financeiro_001\n"
            "NoNewPrivileges=yes\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");

  // Written twice, the description is there once, with the last text, beside
  // the display name.
  EXPECT_TRUE(gerenciador.GravarDescricao("lumiford_financeiro_001", "primeira"));
  EXPECT_TRUE(gerenciador.GravarDescricao("lumiford_financeiro_001", "Lumiford Vavevivi - Financeiro"));
  const std::string unidade = Ler(Unidade("lumiford_financeiro_001"));
  EXPECT_NE(unidade.find("[Unit]\nDescription=Lumiford 001 - Financeiro\n"
                         "X-Description=Lumiford Vavevivi - Financeiro\nWants="),
            std::string::npos)
      << unidade;
  EXPECT_EQ(unidade.find("primeira"), std::string::npos) << unidade;

  gerenciador.ExcluirServico("lumiford_financeiro_001");
  EXPECT_FALSE(std::filesystem::exists(Unidade("lumiford_financeiro_001")));
  EXPECT_FALSE(gerenciador.GravarDescricao("lumiford_financeiro_001", "x"));
}

// A unit of another hand: the description goes after the last line of its
// [Unit] when it has no Description (a [Unit] is made when there is none),
// and nothing outside [Unit] is touched.
TEST_F(GerenciadorServicosTeste, DescriptionOfAUnitWrittenByHand) {
  struct Caso {
    const char* antes;
    const char* depois;
  };
  const Caso casos[] = {
      {"[Unit]\nAfter=x.service\n\n[Service]\nX-Description=outra\n",
       "[Unit]\nAfter=x.service\nX-Description=texto\n\n[Service]\nX-Description=outra\n"},
      {"[Service]\nExecStart=/x\n", "[Unit]\nX-Description=texto\n[Service]\nExecStart=/x\n"},
      {"[Unit]\n", "[Unit]\nX-Description=texto\n"},
      {"[Unit]\nX-Description=velha\nDescription=d\n", "[Unit]\nDescription=d\nX-Description=texto\n"},
  };
  GerenciadorServicos gerenciador;
  for (const auto& caso : casos) {
    {
      std::ofstream arquivo(Unidade("manual"), std::ios::binary | std::ios::trunc);
      arquivo << caso.antes;
    }
    EXPECT_TRUE(gerenciador.GravarDescricao("manual", "texto"));
    EXPECT_EQ(Ler(Unidade("manual")), caso.depois) << caso.antes;
  }
}

// The service starts after the Firebird server when the machine has the
// server's unit (looked for only in the unit folder the tests give).
TEST_F(GerenciadorServicosTeste, StartsAfterTheFirebirdServerWhenThereIsOne) {
  GerenciadorServicos gerenciador;
  gerenciador.CriarServico({"sem_servidor", "x", "/x"});
  EXPECT_NE(Ler(Unidade("sem_servidor")).find("\nAfter=network-online.target\n"), std::string::npos);
  {
    std::ofstream servidor(pasta / "firebird3.0.service");
    servidor << "[Service]\nExecStart=/usr/sbin/fbguard -daemon -forever\n";
  }
  gerenciador.CriarServico({"com_servidor", "x", "/x"});
  EXPECT_NE(Ler(Unidade("com_servidor")).find("\nAfter=network-online.target firebird3.0.service\n"),
            std::string::npos)
      << Ler(Unidade("com_servidor"));
}

TEST_F(GerenciadorServicosTeste, ExecStartKeepsTheCommandLiteral) {
  struct Caso {
    const char* caminho;
    const char* execStart;
  };
  const Caso casos[] = {
      {"/opt/a b/lumiford_financeiro", "ExecStart=\"/opt/a b/lumiford_financeiro\"\n"},
      {"/opt/100%/x", "ExecStart=/opt/100%%/x\n"},
      {"/opt/$HOME/x", "ExecStart=/opt/$$HOME/x\n"},
      {"/opt/a\"b\\c/x", "ExecStart=\"/opt/a\\\"b\\\\c/x\"\n"},
  };
  GerenciadorServicos gerenciador;
  int n = 0;
  for (const auto& caso : casos) {
    const std::string nome = "caso_" + std::to_string(n++);
    gerenciador.CriarServico({nome, "x", caso.caminho});
    EXPECT_NE(Ler(Unidade(nome)).find(caso.execStart), std::string::npos) << caso.caminho;
  }
}

TEST_F(GerenciadorServicosTeste, FailuresCarryTheSystemError) {
  GerenciadorServicos gerenciador;
  gerenciador.CriarServico({"lumiford_financeiro_007", "Lumiford 007 - Financeiro", "/x/y"});
  const std::string antes = Ler(Unidade("lumiford_financeiro_007"));

  struct Caso {
    const char* nome;
    std::function<void()> operacao;
    int codigo;
  };
  const Caso casos[] = {
      {"existing unit", [&] { gerenciador.CriarServico({"lumiford_financeiro_007", "outro", "/z"}); }, EEXIST},
      {"missing unit", [&] { gerenciador.ExcluirServico("lumiford_financeiro_008"); }, ENOENT},
      {"name leaving the directory", [&] { gerenciador.CriarServico({"../fora", "x", "/x"}); }, EINVAL},
      {"relative executable", [&] { gerenciador.CriarServico({"rel", "x", "x/y"}); }, EINVAL},
      {"line break in a value", [&] { gerenciador.CriarServico({"quebra", "a\nExecStartPre=/bin/rm", "/x"}); }, EINVAL},
  };
  for (const auto& caso : casos) {
    try {
      caso.operacao();
      ADD_FAILURE() << caso.nome << ": no error";
    } catch (const ErroSistema& erro) {
      EXPECT_EQ(erro.Codigo(), caso.codigo) << caso.nome;
      const std::string esperado = "System Error.  Code: " + std::to_string(caso.codigo) + ".\r\n";
      EXPECT_EQ(std::string(erro.what()).rfind(esperado, 0), 0u) << caso.nome << ": " << erro.what();
    }
  }
  EXPECT_EQ(Ler(Unidade("lumiford_financeiro_007")), antes);
  EXPECT_FALSE(std::filesystem::exists(pasta / "quebra.service"));
  EXPECT_FALSE(std::filesystem::exists(pasta.caminho().parent_path() / "fora.service"));
}

TEST_F(GerenciadorServicosTeste, MissingUnitDirectoryCannotBeOpened) {
  ::setenv("LUMIFORD_UNIT_DIR", (pasta / "nao_existe").c_str(), 1);
  try {
    GerenciadorServicos gerenciador;
    ADD_FAILURE() << "opened";
  } catch (const ErroSistema& erro) {
    EXPECT_EQ(erro.Codigo(), ENOENT);
  }
}

}  // namespace
