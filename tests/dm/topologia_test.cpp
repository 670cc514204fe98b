// How a database is reached: a path that names a server goes to it; a plain
// path goes through the local server whenever one runs, and is opened by the
// engine inside the process only when none does, so that the ERP's users,
// who reach the same file through the server, are never locked out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

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

// The row count of an ExecSQL is asked of its statement only when wanted,
// after the commit; it must read the same whichever way the file is reached.
TEST(Topologia, RowsAffectedOfTheLastStatementEveryWay) {
  struct Caso {
    const char* sql;
    std::int64_t linhas;  // -1: the statement fails
  };
  const Caso casos[] = {
      {"INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (1, 1, 'A')", 1},
      {"INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) "
       "SELECT EMPRESA, NUMERO + 1, 'B' FROM MOV_REQUISICAO_SERVICO",
       1},
      {"UPDATE MOV_REQUISICAO_SERVICO SET REQUISICAO = 'x' WHERE EMPRESA = 1", 2},
      {"INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (1, 1, 'A')", -1},
      {"DELETE FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = 2", 0},
      {"SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO", 0},
      {"DELETE FROM MOV_REQUISICAO_SERVICO", 2},
  };
  for (const Topologia t : {Topologia::Embutido, Topologia::ServidorCaminhoSimples, Topologia::ServidorHostPorta}) {
    SCOPED_TRACE(NomeTopologia(t));
    PastaTemporaria pasta;
    const auto bancos = CopiarBancos(pasta.str());
    TopologiaBanco topologia(t);
    auto servico = Conectar(topologia.ValorServidor(bancos.dados));
    Consulta q(*servico), outra(*servico);
    for (const Caso& caso : casos) {
      SCOPED_TRACE(caso.sql);
      q.SetSQL(caso.sql);
      if (caso.linhas < 0) {
        EXPECT_THROW(q.ExecSQL(), ErroBanco);
        EXPECT_EQ(q.RowsAffected(), 0) << "a statement that failed counts nothing";
        continue;
      }
      if (std::string_view(caso.sql).starts_with("SELECT")) q.Open();
      else q.ExecSQL();
      // Another statement on the same connection in between changes nothing.
      outra.SetSQL("UPDATE CAD_EMPRESA SET NOME = NOME");
      outra.ExecSQL();
      EXPECT_EQ(q.RowsAffected(), caso.linhas);
      EXPECT_EQ(q.RowsAffected(), caso.linhas) << "asked twice";
    }
    servico->Disconnect();
    EXPECT_EQ(q.RowsAffected(), 0) << "the connection is gone";
  }
}

}  // namespace
}  // namespace lumiford::teste
