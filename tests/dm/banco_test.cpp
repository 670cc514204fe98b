// The database layer against a real Firebird database file opened through
// the embedded engine: parameters, field rendering, character set,
// automatic commit, errors.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "dm/banco.h"
#include "tests/support/banco_teste.h"

namespace {

using namespace std::chrono;
using lumiford::teste::AbrirConexao;
using lumiford::teste::BancosTeste;
using lumiford::teste::CopiarBancos;
using lumiford::teste::PastaTemporaria;
using lumiford::teste::ValorSQL;

class Banco : public ::testing::Test {
 protected:
  PastaTemporaria pasta{"lumiford-banco"};
  BancosTeste bancos = CopiarBancos(pasta.str());
  std::unique_ptr<Conexao> conexao = AbrirConexao(bancos.dados);
  Consulta q{*conexao};

  // Value of one expression, read through the layer.
  Consulta::Campo Expressao(const std::string& expressao) {
    q.Close();
    q.SetSQL("SELECT " + expressao + " V FROM GENERATORS");
    q.Open();
    return q.FieldByName(q.FieldName(0));
  }

  std::string Mensagem(const std::function<void()>& f) {
    try {
      f();
    } catch (const ErroBanco& e) {
      return e.what();
    }
    ADD_FAILURE() << "ErroBanco esperado";
    return {};
  }
};

TEST_F(Banco, CamposComoTexto) {
  struct Caso {
    const char* expressao;
    const char* texto;
  };
  const Caso casos[] = {
      {"CAST(150.50 AS NUMERIC(15,2))", "150,5"},
      {"CAST(150.00 AS NUMERIC(15,2))", "150"},
      {"CAST(-0.50 AS NUMERIC(15,2))", "-0,5"},
      {"CAST(1234567.89 AS NUMERIC(15,2))", "1234567,89"},
      {"CAST(0.0001 AS NUMERIC(15,4))", "0,0001"},
      {"CAST(12.5 AS NUMERIC(4,1))", "12,5"},  // kept as a smallint by Firebird
      {"CAST(42 AS INTEGER)", "42"},
      {"CAST(-7 AS SMALLINT)", "-7"},
      {"CAST(9223372036854775807 AS BIGINT)", "9223372036854775807"},
      {"CAST(0.1 AS DOUBLE PRECISION)", "0,1"},
      {"CAST(10 AS DOUBLE PRECISION)", "10"},
      {"CAST(2.5 AS FLOAT)", "2,5"},
      {"DATE '2025-03-10'", "10/03/2025"},
      {"TIMESTAMP '2025-03-10 00:00:00'", "10/03/2025"},
      {"TIMESTAMP '2025-03-10 14:05:09'", "10/03/2025 14:05:09"},
      {"TIMESTAMP '1899-12-30 23:59:59'", "30/12/1899 23:59:59"},
      // Fixed-length text loses the blanks that pad it; varying text keeps what was stored.
      {"CAST('ab' AS CHAR(5))", "ab"},
      {"CAST('  a b ' AS CHAR(9))", "  a b"},
      {"CAST('' AS CHAR(3))", ""},
      {"CAST('ab  ' AS VARCHAR(5))", "ab  "},
      {"CAST('Março' AS CHAR(15))", "Março"},
      {"CAST('ção' AS CHAR(6) CHARACTER SET UTF8)", "ção"},
      {"CAST('Março' AS VARCHAR(10))", "Março"},
      {"_WIN1252 'ção'", "ção"},
      {"CAST(NULL AS INTEGER)", ""},
      {"CAST(NULL AS VARCHAR(5))", ""},
      {"CAST('Descrição longa' AS BLOB SUB_TYPE TEXT)", "Descrição longa"},
      {"TRUE", "True"},
  };
  for (const auto& c : casos) EXPECT_EQ(Expressao(c.expressao).AsString(), c.texto) << c.expressao;

  // A quoted column name with accents comes back in UTF-8 too.
  q.Close();
  q.SetSQL("SELECT 'Março' \"Mês\" FROM GENERATORS");
  q.Open();
  EXPECT_EQ(q.FieldName(0), "Mês");
  EXPECT_EQ(q.FieldByName("Mês").AsString(), "Março");
}

TEST_F(Banco, SomaDeValoresPagosSemZerosAFinal) {
  int seq = 0;
  for (const char* valor : {"100.25", "50.25"}) {
    lumiford::teste::ExecutarSQL(
        bancos.dados, std::string("INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, "
                                  "SERIE, PARCELA, SEQ, VALOR_PAGO) VALUES (7, 'CM', 'CM', 1, 10, 1, 1, ") +
                          std::to_string(++seq) + ", " + valor + ")");
  }
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT SUM(VALOR_PAGO) FROM MOV_IT_CONTAS_RECEBER"), "150,5");
}

TEST_F(Banco, CamposComoInteiro) {
  struct Caso {
    const char* expressao;
    std::int64_t valor;
  };
  const Caso casos[] = {
      {"CAST(42 AS INTEGER)", 42},         {"CAST(150.00 AS NUMERIC(15,2))", 150},
      {"CAST(-3.0 AS NUMERIC(15,4))", -3}, {"CAST('12' AS VARCHAR(5))", 12},
      {"CAST(NULL AS INTEGER)", 0},        {"CAST(7 AS DOUBLE PRECISION)", 7},
  };
  for (const auto& c : casos) EXPECT_EQ(Expressao(c.expressao).AsInteger(), c.valor) << c.expressao;

  const struct {
    const char* expressao;
    const char* mensagem;
  } erros[] = {
      {"CAST(150.5 AS NUMERIC(15,2))", "'150,5' is not a valid integer value"},
      {"CAST('abc' AS VARCHAR(5))", "'abc' is not a valid integer value"},
      {"CAST('1,0' AS VARCHAR(5))", "'1,0' is not a valid integer value"},
      {"CAST(0.5 AS DOUBLE PRECISION)", "'0,5' is not a valid integer value"},
  };
  for (const auto& e : erros) {
    auto campo = Expressao(e.expressao);
    EXPECT_EQ(Mensagem([&] { campo.AsInteger(); }), e.mensagem) << e.expressao;
  }
}

TEST_F(Banco, CamposComoRealEDataHora) {
  EXPECT_DOUBLE_EQ(Expressao("CAST(150.5 AS NUMERIC(15,2))").AsFloat(), 150.5);
  EXPECT_DOUBLE_EQ(Expressao("CAST(0.5 AS DOUBLE PRECISION)").AsFloat(), 0.5);
  EXPECT_DOUBLE_EQ(Expressao("CAST('1,5' AS VARCHAR(5))").AsFloat(), 1.5);
  EXPECT_DOUBLE_EQ(Expressao("CAST('1.5' AS VARCHAR(5))").AsFloat(), 1.5);
  EXPECT_DOUBLE_EQ(Expressao("CAST(NULL AS DOUBLE PRECISION)").AsFloat(), 0.0);
  EXPECT_EQ(Mensagem([&] { Expressao("CAST('x' AS VARCHAR(5))").AsFloat(); }),
            "'x' is not a valid floating point value");

  const DataHora dia{local_days{2025y / March / 10}};
  EXPECT_EQ(Expressao("DATE '2025-03-10'").AsDateTime(), dia);
  EXPECT_EQ(Expressao("TIMESTAMP '2025-03-10 14:05:09.250'").AsDateTime(),
            dia + hours{14} + minutes{5} + seconds{9} + milliseconds{250});
  EXPECT_EQ(Expressao("CAST(NULL AS DATE)").AsDateTime(), DataHora{});
  EXPECT_TRUE(Expressao("CAST(NULL AS DATE)").IsNull());
  EXPECT_FALSE(Expressao("CAST('' AS VARCHAR(5))").IsNull());
  EXPECT_FALSE(Expressao("CAST('' AS CHAR(3))").IsNull());
}

TEST_F(Banco, MoedaExataNaIdaENaVolta) {
  // 18 significant digits: a double on the way would change the last ones.
  struct Caso {
    const char* texto;
    const char* tipo;
    const char* lido;
  };
  const Caso casos[] = {
      {"12345678901234,5678", "NUMERIC(18,4)", "12345678901234,5678"},
      {"150,7549", "NUMERIC(15,4)", "150,7549"},
      {"0,0001", "NUMERIC(15,4)", "0,0001"},
      {"-99999999999,9999", "NUMERIC(15,4)", "-99999999999,9999"},
      {"150,75", "NUMERIC(15,2)", "150,75"},
      {"5,5", "NUMERIC(15,4)", "5,5"},
  };
  for (const auto& c : casos) {
    q.Close();
    q.SetSQL(std::string("SELECT CAST(:V AS ") + c.tipo + ") V FROM GENERATORS");
    q.ParamByName("V").AsCurrency(Moeda::DeTexto(c.texto));
    q.Open();
    EXPECT_EQ(q.FieldByName("V").AsString(), c.lido) << c.texto;
    EXPECT_EQ(q.FieldByName("V").AsCurrency(), Moeda::DeTexto(c.lido)) << c.texto;
  }

  // Into the billing item columns and back.
  q.Close();
  q.SetSQL("INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, COMISSAO, MENSALIDADE, "
           "ID_FATURA) VALUES (:EMPRESA, :NUMERO, :SEQ, :CLIENTE, :COMISSAO, :MENSALIDADE, :ID_FATURA)");
  q.ParamByName("EMPRESA").AsInteger(7);
  q.ParamByName("NUMERO").AsInteger(41);
  q.ParamByName("SEQ").AsInteger(1);
  q.ParamByName("CLIENTE").AsInteger(3);
  q.ParamByName("COMISSAO").AsCurrency(Moeda::DeTexto("5,5"));
  q.ParamByName("MENSALIDADE").AsCurrency(Moeda::DeTexto("150,75"));
  q.ParamByName("ID_FATURA").AsInteger(9001);
  q.ExecSQL();
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT CAST(COMISSAO AS VARCHAR(30)) || ' ' || "
                                   "CAST(MENSALIDADE AS VARCHAR(30)) FROM MOV_IT_CONTRATO_FATURAMENTO"),
            "5.5000 150.7500");
}

TEST_F(Banco, ParametrosPorNome) {
  // A name used twice, names inside literals, quoted identifiers and comments left alone.
  q.SetSQL("SELECT CAST(:a AS INTEGER) + CAST(:A AS INTEGER) SOMA, ':NAO' LITERAL, 'it''s :NAO2' L2, "
           "CAST(:TEXTO AS VARCHAR(20)) \":NAO3\" /* :NAO4 */ FROM GENERATORS -- :NAO5\n"
           "WHERE 1 = :UM");
  for (const char* nome : {"NAO", "NAO2", "NAO3", "NAO4", "NAO5"})
    EXPECT_EQ(Mensagem([&] { q.ParamByName(nome); }), std::string("Parâmetro '") + nome + "' não encontrado");
  q.ParamByName("A").AsInteger(21);
  q.ParamByName("texto").AsString("ação");
  EXPECT_EQ(Mensagem([&] { q.Open(); }), "Parâmetro sem valor: UM");
  q.ParamByName("UM").AsInteger(1);
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1u);
  EXPECT_EQ(q.FieldByName("SOMA").AsInteger(), 42);
  EXPECT_EQ(q.FieldByName("LITERAL").AsString(), ":NAO");
  EXPECT_EQ(q.FieldByName("L2").AsString(), "it's :NAO2");
  EXPECT_EQ(q.FieldByName(":NAO3").AsString(), "ação");
  EXPECT_EQ(Mensagem([&] { q.FieldByName("NENHUM"); }), "Campo 'NENHUM' não encontrado");

  // The same text again: parameters start unset, the values are new.
  q.Close();
  q.SetSQL(q.SQL());
  EXPECT_FALSE(q.ParamByName("A").Definido());
  q.ParamByName("A").AsInteger(1);
  q.ParamByName("TEXTO").Clear();
  q.ParamByName("UM").AsInteger(2);
  q.Open();
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.RecordCount(), 0u);
  EXPECT_TRUE(q.FieldByName("SOMA").IsNull());  // an empty result reads as null
}

TEST_F(Banco, DatasETextosNosParametros) {
  q.SetSQL("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, "
           "EMISSAO, VALOR, STATUS_ENVIO_API) VALUES (7, 'CM', 'CM', 1, :NUMERO, 1, 1, :EMISSAO, 10, :STATUS)");
  const std::pair<Data, int> linhas[] = {
      {2025y / February / 28, 1}, {2025y / March / 1, 2}, {2025y / March / 31, 3}, {2025y / April / 1, 4}};
  for (const auto& [data, numero] : linhas) {
    q.Close();
    q.SetSQL(q.SQL());
    q.ParamByName("NUMERO").AsInteger(numero);
    q.ParamByName("EMISSAO").AsDate(data);
    if (numero == 2) q.ParamByName("STATUS").AsString("Enviado");
    else q.ParamByName("STATUS").Clear();
    q.ExecSQL();
    EXPECT_EQ(q.RowsAffected(), 1);
  }
  q.Close();
  q.SetSQL("SELECT NUMERO, EMISSAO FROM MOV_CONTAS_RECEBER WHERE EMPRESA = :EMPRESA AND EMISSAO BETWEEN "
           ":DATA_INICIAL AND :DATA_FINAL AND ((STATUS_ENVIO_API IS NULL) OR (STATUS_ENVIO_API <> 'Enviado')) "
           "ORDER BY NUMERO");
  q.ParamByName("EMPRESA").AsInteger(7);
  q.ParamByName("DATA_INICIAL").AsDate(2025y / March / 1);
  q.ParamByName("DATA_FINAL").AsDate(2025y / March / 31);
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1u);
  EXPECT_EQ(q.FieldByName("NUMERO").AsString(), "3");
  EXPECT_EQ(q.FieldByName("EMISSAO").AsString(), "31/03/2025");
}

TEST_F(Banco, TextoGravadoEmWin1252) {
  const std::string nomes[] = {"Março", "ção", "€‰Œ Ÿ", "São João"};
  int cadastro = 0;
  for (const auto& nome : nomes) {
    q.Close();
    q.SetSQL("INSERT INTO CAD_PESSOA (CADASTRO, NOME) VALUES (:CADASTRO, :NOME)");
    q.ParamByName("CADASTRO").AsInteger(++cadastro);
    q.ParamByName("NOME").AsString(nome);
    q.ExecSQL();
    q.Close();
    q.SetSQL("SELECT NOME, OCTET_LENGTH(NOME) BYTES, CHAR_LENGTH(NOME) LETRAS FROM CAD_PESSOA "
             "WHERE CADASTRO = :CADASTRO");
    q.ParamByName("CADASTRO").AsInteger(cadastro);
    q.Open();
    EXPECT_EQ(q.FieldByName("NOME").AsString(), nome);
    // One byte per character: the database holds WIN1252, not UTF-8.
    EXPECT_EQ(q.FieldByName("BYTES").AsInteger(), q.FieldByName("LETRAS").AsInteger()) << nome;
  }
  // Looked up by a text parameter with an accent.
  q.Close();
  q.SetSQL("SELECT CADASTRO FROM CAD_PESSOA WHERE NOME = :NOME");
  q.ParamByName("NOME").AsString("Março");
  q.Open();
  EXPECT_EQ(q.FieldByName("CADASTRO").AsInteger(), 1);

  // A character WIN1252 cannot hold is refused and nothing is written.
  q.Close();
  q.SetSQL("INSERT INTO CAD_PESSOA (CADASTRO, NOME) VALUES (99, :NOME)");
  q.ParamByName("NOME").AsString("Cliente \xF0\x9F\x98\x80");
  EXPECT_EQ(Mensagem([&] { q.ExecSQL(); }), "Caractere não representável em WIN1252: U+1F600");
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT COUNT(*) FROM CAD_PESSOA WHERE CADASTRO = 99"), "0");
}

TEST_F(Banco, ErrosDoFirebirdComOTextoDele) {
  q.SetSQL("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (:EMPRESA, :NUMERO, "
           ":TIPO)");
  q.ParamByName("EMPRESA").AsInteger(7);
  q.ParamByName("NUMERO").AsInteger(1);
  q.ParamByName("TIPO").AsString("BUSCAR_FATURAMENTO_API");
  q.ExecSQL();

  // The same key again.
  std::string duplicada = Mensagem([&] { q.ExecSQL(); });
  EXPECT_NE(duplicada.find("violation of PRIMARY or UNIQUE KEY constraint \"PK_MOV_REQUISICAO_SERVICO\""),
            std::string::npos)
      << duplicada;

  // A value longer than its column (yes/no flags hold one character).
  q.Close();
  q.SetSQL("UPDATE CAD_PESSOA SET TIPO_CLIENTE = :V");
  q.ParamByName("V").AsString("22");
  std::string longo = Mensagem([&] { q.ExecSQL(); });
  EXPECT_NE(longo.find("string right truncation"), std::string::npos) << longo;

  // Bad statement text.
  q.Close();
  q.SetSQL("SELECT NADA FROM TABELA_QUE_NAO_HA");
  std::string sintaxe = Mensagem([&] { q.Open(); });
  EXPECT_NE(sintaxe.find("TABELA_QUE_NAO_HA"), std::string::npos) << sintaxe;
  EXPECT_FALSE(q.Active());

  // The failures were rolled back; the connection goes on working.
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "1");
  q.Close();
  q.SetSQL("SELECT COUNT(*) N FROM MOV_REQUISICAO_SERVICO");
  q.Open();
  EXPECT_EQ(q.FieldByName("N").AsInteger(), 1);
}

TEST_F(Banco, CadaComandoConfirmadoSozinho) {
  q.SetSQL("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (1, 5, 'X')");
  q.ExecSQL();
  // Another attachment sees it at once.
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT NUMERO FROM MOV_REQUISICAO_SERVICO"), "5");
  q.Close();
  q.SetSQL("DELETE FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = :EMPRESA");
  q.ParamByName("EMPRESA").AsInteger(1);
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 1);
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "0");

  // Open is for statements that return rows.
  q.Close();
  q.SetSQL("DELETE FROM MOV_REQUISICAO_SERVICO");
  EXPECT_THROW(q.Open(), ErroBanco);
}

TEST_F(Banco, GeneratorsPelaTabelaDeUmaLinha) {
  auto ler = [&](const std::string& sql) {
    q.Close();
    q.SetSQL(sql);
    q.Open();
    return q.FieldByName("ULTIMO").AsInteger();
  };
  EXPECT_EQ(ler("SELECT GEN_ID(CAD_PESSOA, 0) ULTIMO FROM GENERATORS"), 0);
  EXPECT_EQ(ler("SELECT GEN_ID(CAD_PESSOA, 1) ULTIMO FROM GENERATORS"), 1);
  EXPECT_EQ(ler("SELECT GEN_ID(CAD_PESSOA, 1) ULTIMO FROM GENERATORS"), 2);
  EXPECT_EQ(ler("SELECT GEN_ID(CAD_PESSOA, 0) ULTIMO FROM GENERATORS"), 2);
  for (const char* sufixo : {"001", "002", "007", "1234"})
    EXPECT_EQ(ler(std::string("SELECT GEN_ID(MOV_CONTRATO_FATURAMENTO_") + sufixo + ", 1) ULTIMO FROM GENERATORS"),
              1);
}

TEST_F(Banco, MesmoComandoRepetidoComTextosDeTamanhosDiferentes) {
  // The prepared statement is reused; the input message has to follow the sizes.
  const std::string textos[] = {"a", std::string(200, 'x'), "", "ção", std::string(1000, 'y'), "b"};
  const std::string inserir = "INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, REQUISICAO) VALUES (7, :N, "
                              ":R)";
  const std::string ler = "SELECT REQUISICAO FROM MOV_REQUISICAO_SERVICO WHERE NUMERO = :N";
  int n = 0;
  for (const auto& texto : textos) {
    ++n;
    q.Close();
    q.SetSQL(inserir);
    q.ParamByName("N").AsInteger(n);
    q.ParamByName("R").AsString(texto);
    if (texto.size() > 200) {
      EXPECT_NE(Mensagem([&] { q.ExecSQL(); }).find("string right truncation"), std::string::npos);
      continue;
    }
    q.ExecSQL();
    q.Close();
    q.SetSQL(ler);
    q.ParamByName("N").AsInteger(n);
    q.Open();
    EXPECT_EQ(q.FieldByName("REQUISICAO").AsString(), texto);
  }
  EXPECT_EQ(ValorSQL(bancos.dados, "SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "5");
}

TEST(Conexao, FalhaTrazOTextoDoFirebird) {
  PastaTemporaria pasta{"lumiford-conexao"};
  const std::string caminho = pasta / "DADOS.FDB";
  Conexao c;
  c.Params = {"DriverID=FB", "CharacterSet=WIN1252", "Database=" + caminho, "User_Name=sysdba",
              "Password=bluefjord"};
  try {
    c.Connect();
    FAIL() << "conectou a um arquivo que não existe";
  } catch (const ErroBanco& e) {
    EXPECT_EQ(std::string(e.what()).rfind("I/O error during \"open\" operation for file \"" + caminho + "\"", 0), 0u)
        << e.what();
  }
  EXPECT_FALSE(c.Connected());

  // "host/port:path" goes to a server over the network, not to the embedded engine.
  c.Params = {"DriverID=FB", "CharacterSet=WIN1252", "Database=127.0.0.1/1:" + caminho, "User_Name=sysdba",
              "Password=bluefjord"};
  try {
    c.Connect();
    FAIL() << "conectou a um servidor que não existe";
  } catch (const ErroBanco& e) {
    EXPECT_NE(std::string(e.what()).find("Unable to complete network request to host \"127.0.0.1\""),
              std::string::npos)
        << e.what();
  }

  c.Params = {"DriverID=MySQL", "Database=" + caminho};
  EXPECT_THROW(c.Connect(), ErroBanco);
}

TEST(Conexao, NomesDosParametrosSemDiferencaDeCaixa) {
  PastaTemporaria pasta{"lumiford-conexao"};
  auto bancos = CopiarBancos(pasta.str());
  Conexao c;
  c.Params = {"driverid=FB", "CHARACTERSET=WIN1252", "database=" + bancos.dados, "user_name=sysdba",
              "password=bluefjord"};
  c.Connect();
  EXPECT_TRUE(c.Connected());
  Consulta q(c);
  q.SetSQL("SELECT MON$REMOTE_PROTOCOL P, MON$CHARACTER_SET_ID CS FROM MON$ATTACHMENTS "
           "WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION");
  q.Open();
  EXPECT_TRUE(q.FieldByName("P").IsNull());  // embedded: no network protocol
  EXPECT_EQ(q.FieldByName("CS").AsInteger(), 53);  // WIN1252
  c.Disconnect();
  EXPECT_FALSE(c.Connected());
  EXPECT_THROW(q.Open(), ErroBanco);
  // Connecting again works with the same query objects.
  c.Connect();
  q.Open();
  EXPECT_EQ(q.RecordCount(), 1u);
}

}  // namespace
