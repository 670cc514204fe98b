// How a database is reached: a path that names a server goes to it; a plain
// path goes through the local server whenever one runs, and is opened by the
// engine inside the process only when none does, so that the ERP's users,
// who reach the same file through the server, are never locked out.
#include <gtest/gtest.h>

#include <string>

#include "dm/banco.h"
#include "tests/support/banco_teste.h"
#include "tests/support/servidor_firebird.h"

namespace lumiford::teste {
namespace {

const char* const kProtocoloProprio =
    "SELECT COALESCE(MON$REMOTE_PROTOCOL, 'MOTOR') FROM MON$ATTACHMENTS "
    "WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION";
const char* const kProtocolosDosOutros =
    "SELECT LIST(COALESCE(MON$REMOTE_PROTOCOL, 'MOTOR')) FROM MON$ATTACHMENTS "
    "WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0";

std::string Valor(Conexao& conexao, const std::string& sql) {
  Consulta q(conexao);
  q.SetSQL(sql);
  q.Open();
  return q.FieldByName(q.FieldName(0)).AsString();
}

std::unique_ptr<Conexao> Conectar(const std::string& caminho, const std::string& senha = "bluefjord") {
  auto c = std::make_unique<Conexao>();
  c->Params = {"DriverID=FB", "CharacterSet=WIN1252", "Database=" + caminho, "User_Name=sysdba",
               "Password=" + senha};
  c->Connect();
  return c;
}

TEST(Topologia, PlainPathWithoutAServerIsOpenedHere) {
  PastaTemporaria pasta;
  const auto bancos = CopiarBancos(pasta.str());
  auto servico = Conectar(bancos.dados);
  EXPECT_TRUE(servico->ViaMotorLocal());
  EXPECT_EQ(Valor(*servico, kProtocoloProprio), "MOTOR");
  EXPECT_FALSE(servico->PassarAoServidor()) << "no server to move to";
}

// The service connects first, while the server holds nothing (at boot, at
// night); then an ERP user connects through the server.
TEST(Topologia, ServiceConnectingFirstLeavesTheFileToTheServer) {
  PastaTemporaria pasta;
  const auto bancos = CopiarBancos(pasta.str());
  ServidorFirebird servidor;
  for (const std::string& caminho : {bancos.dados, servidor.Prefixo() + bancos.dados}) {
    SCOPED_TRACE(caminho);
    auto servico = Conectar(caminho);
    EXPECT_FALSE(servico->ViaMotorLocal());
    EXPECT_EQ(Valor(*servico, kProtocoloProprio), "TCPv4");
    auto erp = Conectar(servidor.Prefixo() + bancos.dados);
    EXPECT_EQ(Valor(*erp, kProtocolosDosOutros), "TCPv4");
  }
}

TEST(Topologia, AServerThatRefusesIsNeverBypassed) {
  PastaTemporaria pasta;
  const auto bancos = CopiarBancos(pasta.str());
  ServidorFirebird servidor;
  try {
    Conectar(bancos.dados, "outra");
    FAIL() << "connected with a wrong password";
  } catch (const ErroBanco& e) {
    EXPECT_NE(std::string(e.what()).find("password"), std::string::npos) << e.what();
  }
  auto erp = Conectar(servidor.Prefixo() + bancos.dados);
  EXPECT_EQ(Valor(*erp, kProtocolosDosOutros), "");
}

TEST(Topologia, ServerThatStartsLaterGetsTheConnection) {
  PastaTemporaria pasta;
  const auto bancos = CopiarBancos(pasta.str());
  ServidorFirebird servidor;
  servidor.Parar();
  auto servico = Conectar(bancos.dados);
  ASSERT_TRUE(servico->ViaMotorLocal());
  servidor.Iniciar();
  EXPECT_TRUE(servico->PassarAoServidor());
  EXPECT_FALSE(servico->ViaMotorLocal());
  EXPECT_EQ(Valor(*servico, kProtocoloProprio), "TCPv4");
  auto erp = Conectar(servidor.Prefixo() + bancos.dados);
  EXPECT_EQ(Valor(*erp, kProtocolosDosOutros), "TCPv4");
}

TEST(Topologia, ServerNamedButNotRunningIsAnErrorNotTheEngineHere) {
  PastaTemporaria pasta;
  const auto bancos = CopiarBancos(pasta.str());
  ServidorFirebird servidor;
  servidor.Parar();
  EXPECT_THROW(Conectar(servidor.Prefixo() + bancos.dados), ErroBanco);
}

}  // namespace
}  // namespace lumiford::teste
