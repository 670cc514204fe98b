// The service beside a live ERP, both reaching the database through the
// Firebird server: an ERP user holding a receivable's row in an open
// transaction, and the ERP's updater changing the schema between runs.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "api/chamada.h"
#include "api/ufuncoes_api.h"
#include "dm/udm.h"
#include "global/uglobal.h"
#include "tests/api/apoio.h"
#include "tests/support/banco_teste.h"
#include "tests/support/sessao_erp.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;
using Linhas = std::vector<std::string>;

class Compartilhamento : public ::testing::Test {
 protected:
  void SetUp() override {
    pausa_ = DefinirPausaAposPost(0ms);
    ConfiguracaoIni ini;
    ini.debug = "Nao";
    amb_.emplace(ini, Topologia::ServidorCaminhoSimples);
    amb_->Executar(
        "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
        "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN) VALUES (7, 'Empresa', "
        "'12.345.678/0001-95', 10, '2', 'http', '127.0.0.1:" + std::to_string(sim_.Porta()) + "', 'tok-7f3a9c')");
    for (const auto& [cliente, id] : {std::pair{"10", "501"}, std::pair{"11", "502"}})
      amb_->Executar(
          std::string("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, "
                      "EMISSAO, VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (7, 'CM', 'CM', ") +
          cliente + ", 1" + cliente + ", 1, 1, '2025-03-05', '2025-03-10', 100, 0, " + id + ", '1')");
    dm = std::make_unique<Tdm>();
    ASSERT_FALSE(ErroConexao) << MensagemErroConexao;
    ASSERT_FALSE(dm->Firebird.ViaMotorLocal());
  }
  void TearDown() override {
    dm.reset();
    amb_.reset();
    DefinirPausaAposPost(pausa_);
  }

  std::string PeloServidor() const { return amb_->ServidorBanco()->Prefixo() + amb_->Bancos().dados; }
  std::string Marcas() const {
    return amb_->Valor("SELECT LIST(ID_FATURA || '=' || FATURA_ENVIADA) FROM "
                       "(SELECT ID_FATURA, FATURA_ENVIADA FROM MOV_CONTAS_RECEBER ORDER BY ID_FATURA)");
  }
  Linhas Log() const { return MensagensDoLog(amb_->DiretorioExe() + "/Log.txt"); }
  void AceitarTudo() {
    sim_.ResponderPadrao(Resposta::Json(
        R"({"error": false, "messageSuccess": [{"message": "ok", "id_fatura": 501}, )"
        R"({"message": "ok", "id_fatura": 502}], "messageError": []})"));
  }

  Simulador sim_;
  std::optional<AmbienteServico> amb_;
  PastaTemporaria pasta_;
  std::chrono::milliseconds pausa_{250};
};

// The ERP holds invoice 502's row in a transaction it has not committed: the
// mark of 502 waits for the lock time-out (10 s) and fails with the
// database's own reason; 501 is marked; once the ERP lets go, the next run
// reports 502 again and marks it.
TEST_F(Compartilhamento, RowLockedByTheErpStaysUnmarkedAndIsReportedOnceFree) {
  SessaoErp erp(PeloServidor(), pasta_.caminho());
  ASSERT_TRUE(erp.Executar("UPDATE MOV_CONTAS_RECEBER SET VALOR = VALOR WHERE ID_FATURA = 502")) << erp.Saida();
  ASSERT_FALSE(erp.TeveErro()) << erp.Saida();
  AceitarTudo();

  const auto inicio = std::chrono::steady_clock::now();
  EnviarFaturasPagas();
  const auto espera = std::chrono::steady_clock::now() - inicio;

  EXPECT_LT(espera, 20s) << "waited past the lock time-out";
  EXPECT_GE(espera, 9s) << "did not wait for the lock at all";
  EXPECT_EQ(Marcas(), "501=2,502=1");
  const Linhas log = Log();
  ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[0], "Erro ao ler a resposta da API.");
  EXPECT_EQ(log[1].rfind("Motivo: ", 0), 0u) << log[1];
  EXPECT_NE(log[1].find("lock"), std::string::npos) << log[1];

  ASSERT_TRUE(erp.Desfazer()) << erp.Saida();
  EnviarFaturasPagas();
  ASSERT_EQ(sim_.Requisicoes().size(), 2u);
  EXPECT_EQ(sim_.Requisicoes()[1].corpo, R"([{"id_fatura": 502, "valorPago": 0}])");
  EXPECT_EQ(Marcas(), "501=2,502=2");
  EXPECT_EQ(Log().size(), 2u) << "the second run logged nothing";
}

// Between runs the ERP's updater adds and drops columns of the tables the
// service works on and creates and drops an index: every change commits at
// once, whatever statements the service keeps prepared, and the next run
// works on the new schema.
TEST_F(Compartilhamento, SchemaChangesOfTheErpCommitAtOnceBetweenRuns) {
  AceitarTudo();
  EnviarFaturasPagas();
  ASSERT_EQ(Marcas(), "501=2,502=2");
  amb_->Executar("UPDATE MOV_CONTAS_RECEBER SET FATURA_ENVIADA = '1'");

  SessaoErp erp(PeloServidor(), pasta_.caminho());
  const char* const mudancas[] = {
      "ALTER TABLE MOV_CONTAS_RECEBER ADD OBS_ERP VARCHAR(40)",
      "ALTER TABLE CAD_PESSOA ADD APELIDO_ERP VARCHAR(40)",
      "CREATE INDEX IX_ERP_RECEBER_ID ON MOV_CONTAS_RECEBER (ID_FATURA)",
      "DROP INDEX IX_ERP_RECEBER_ID",
      "ALTER TABLE MOV_CONTAS_RECEBER DROP OBS_ERP",
      "ALTER TABLE CAD_PESSOA DROP APELIDO_ERP",
  };
  for (const char* mudanca : mudancas) {
    SCOPED_TRACE(mudanca);
    const auto inicio = std::chrono::steady_clock::now();
    ASSERT_TRUE(erp.Executar(mudanca, 15s)) << "still waiting: " << erp.Saida();
    EXPECT_LT(std::chrono::steady_clock::now() - inicio, 5s);
    ASSERT_FALSE(erp.TeveErro()) << erp.Saida();
  }

  EnviarFaturasPagas();
  EXPECT_EQ(Marcas(), "501=2,502=2");
  EXPECT_EQ(Log(), Linhas{});
}

}  // namespace
}  // namespace lumiford::teste
