// The data module's start: settings, both connections, the company record
// snapshot, the timers, and what a failed connection leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/uglobal.h"
#include "tests/support/banco_teste.h"

namespace {

using lumiford::teste::AmbienteServico;
using lumiford::teste::ConfiguracaoIni;

ConfiguracaoIni SemDebug() {
  ConfiguracaoIni ini;
  ini.debug = "";
  return ini;
}

void CadastrarEmpresa(const AmbienteServico& amb) {
  amb.Executar("INSERT INTO CAD_PAIS (CADASTRO, NOME) VALUES (1058, 'Brasil')");
  amb.Executar("INSERT INTO CAD_ALIQUOTA_ICMS_ESTADO (ESTADO, CODIGO_ESTADO_IBGE) VALUES ('SP', 35)");
  amb.Executar("INSERT INTO CAD_CIDADE (CADASTRO, NOME, ESTADO, PAIS) VALUES (3550308, 'São Paulo', 'SP', 1058)");
  amb.Executar("INSERT INTO CAD_MODELO_ETIQUETA (CADASTRO, DESCRICAO) VALUES (3, 'Etiqueta padrão')");
  amb.Executar(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, CIDADE, INTERVALO_REC_FINANCEIRO, "
      "USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, "
      "API_FORNECEDOR_ETIQUETA, VENDEDOR_FATURAMENTO) VALUES (7, 'Informática Ação Ltda', '12.345.678/0001-95', "
      "3550308, 0.5, '2', 'https', 'api.fornecedor.com.br/v1', 'tok-7', 3, 12)");
  // Another company of the same database, not ours.
  amb.Executar("INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO) VALUES (8, 'Outra', '1')");
}

class ModuloDeDados : public ::testing::Test {
 protected:
  void TearDown() override { dm.reset(); }
};

TEST_F(ModuloDeDados, LeAEmpresaUmaVezEArmaOsTemporizadores) {
  AmbienteServico amb(SemDebug());
  CadastrarEmpresa(amb);
  dm = std::make_unique<Tdm>();

  EXPECT_EQ(CodigoEmpresa, 7);
  EXPECT_FALSE(ErroConexao);
  EXPECT_EQ(MensagemErroConexao, "");
  EXPECT_TRUE(dm->Firebird.Connected());
  EXPECT_TRUE(dm->Historico_Sistema.Connected());
  auto& empresa = dm->FBqrempresa;
  ASSERT_TRUE(empresa.Active());
  ASSERT_EQ(empresa.RecordCount(), 1u);
  const std::pair<const char*, const char*> esperado[] = {
      {"CADASTRO", "7"},
      {"NOME", "Informática Ação Ltda"},
      {"CNPJ_CPF", "12.345.678/0001-95"},
      {"INTERVALO_REC_FINANCEIRO", "0,5"},
      {"USA_INTEGRACAO_API_FINANCEIRO", "2"},
      {"API_FORNECEDOR_CONEXAO", "https"},
      {"API_FORNECEDOR_ENDERECO", "api.fornecedor.com.br/v1"},
      {"API_FORNECEDOR_TOKEN", "tok-7"},
      {"VENDEDOR_FATURAMENTO", "12"},
      {"NOME_CIDADE", "São Paulo"},
      {"ESTADO", "SP"},
      {"PAIS", "1058"},
      {"NOME_PAIS", "Brasil"},
      {"CODIGO_ESTADO_IBGE", "35"},
      {"DESCRICAO_ETIQUETA_PADRAO", "Etiqueta padrão"},
  };
  for (const auto& [coluna, texto] : esperado) EXPECT_EQ(empresa.FieldByName(coluna).AsString(), texto) << coluna;
  EXPECT_DOUBLE_EQ(empresa.FieldByName("INTERVALO_REC_FINANCEIRO").AsFloat(), 0.5);
  EXPECT_EQ(empresa.FieldByName("VENDEDOR_FATURAMENTO").AsInteger(), 12);

  for (Temporizador* t : {&dm->Timer, &dm->Timer_Requisicao}) {
    EXPECT_TRUE(t->Enabled());
    EXPECT_EQ(t->Interval(), 1000u);
  }
  EXPECT_EQ(dm->IdHTTP.ConnectTimeout(), std::chrono::milliseconds(5000));
  EXPECT_EQ(dm->IdHTTP.ReadTimeout(), std::chrono::milliseconds(10000));
  EXPECT_EQ(amb.Log().find("Erro"), std::string::npos) << amb.Log();

  // A snapshot: later changes in the database are not seen.
  amb.Executar("UPDATE CAD_EMPRESA SET API_FORNECEDOR_TOKEN = 'novo', USA_INTEGRACAO_API_FINANCEIRO = '1'");
  EXPECT_EQ(empresa.FieldByName("API_FORNECEDOR_TOKEN").AsString(), "tok-7");
  EXPECT_EQ(empresa.FieldByName("USA_INTEGRACAO_API_FINANCEIRO").AsString(), "2");

  // The shared query works on the same connection; its statements commit by themselves.
  dm->FBqraux1.Close();
  dm->FBqraux1.SetSQL("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (:EMPRESA, 1, "
                      ":REQUISICAO)");
  dm->FBqraux1.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  dm->FBqraux1.ParamByName("REQUISICAO").AsString(std::string(tabelas::mov_requisicao_servico::BuscarFaturamentoApi));
  dm->FBqraux1.ExecSQL();
  EXPECT_EQ(amb.Valor("SELECT TIPO_REQUISICAO FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = 7"),
            "BUSCAR_FATURAMENTO_API");
}

TEST_F(ModuloDeDados, PessoaPeloCnpjMenorCadastroPrimeiro) {
  AmbienteServico amb(SemDebug());
  CadastrarEmpresa(amb);
  amb.Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, CIDADE) VALUES (20, 'B', '98.765.432/0001-10', "
               "3550308)");
  amb.Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (5, 'A', '98.765.432/0001-10')");
  amb.Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (1, 'C', '98765432000110')");
  dm = std::make_unique<Tdm>();
  auto& pessoa = dm->FBqrpessoa_cnpj;
  pessoa.Close();
  pessoa.ParamByName("CNPJ_CPF").AsString("98.765.432/0001-10");
  pessoa.Open();
  ASSERT_EQ(pessoa.RecordCount(), 2u);
  EXPECT_EQ(pessoa.FieldByName("CADASTRO").AsInteger(), 5);
  pessoa.Next();
  EXPECT_EQ(pessoa.FieldByName("CADASTRO").AsInteger(), 20);
  EXPECT_EQ(pessoa.FieldByName("ESTADO").AsString(), "SP");
  EXPECT_EQ(pessoa.FieldByName("CODIGO_ESTADO_IBGE").AsString(), "35");
}

TEST_F(ModuloDeDados, SemCadastroDaEmpresaTudoLeComoNulo) {
  AmbienteServico amb(SemDebug());
  dm = std::make_unique<Tdm>();
  EXPECT_FALSE(ErroConexao);
  ASSERT_TRUE(dm->FBqrempresa.Active());
  EXPECT_EQ(dm->FBqrempresa.RecordCount(), 0u);
  EXPECT_EQ(dm->FBqrempresa.FieldByName("USA_INTEGRACAO_API_FINANCEIRO").AsString(), "");
  EXPECT_EQ(dm->FBqrempresa.FieldByName("INTERVALO_REC_FINANCEIRO").AsFloat(), 0.0);
  EXPECT_EQ(dm->FBqrempresa.FieldByName("VENDEDOR_FATURAMENTO").AsInteger(), 0);
  EXPECT_TRUE(dm->Timer.Enabled());
  EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
}

TEST_F(ModuloDeDados, FalhaDeConexaoNoLogESemTemporizadores) {
  struct Caso {
    const char* nome;
    bool sem_dados;
    bool sem_historico;
    bool servidor_vazio;
  };
  const Caso casos[] = {
      {"sem DADOS.FDB", true, false, false},
      {"sem HISTORICO_SISTEMA.FDB", false, true, false},
      {"sem os dois", true, true, false},
      {"Servidor vazio", false, false, true},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nome);
    AmbienteServico amb(SemDebug());
    if (c.sem_dados) std::filesystem::remove(amb.Bancos().dados);
    if (c.sem_historico) std::filesystem::remove(amb.Bancos().historico);
    std::string falha = (c.sem_historico || c.servidor_vazio) ? amb.Bancos().historico : amb.Bancos().dados;
    if (c.servidor_vazio) {
      ConfiguracaoIni ini = SemDebug();
      ini.servidor = "";
      lumiford::teste::EscreverIni(amb.DiretorioExe(), ini);
      falha = "/HISTORICO_SISTEMA.FDB";
    }
    dm = std::make_unique<Tdm>();

    EXPECT_TRUE(ErroConexao);
    const std::string inicio = "I/O error during \"open\" operation for file \"" + falha + "\"";
    EXPECT_EQ(MensagemErroConexao.rfind(inicio, 0), 0u) << MensagemErroConexao;
    ASSERT_GE(MensagemErroConexao.size(), 2u);
    EXPECT_EQ(MensagemErroConexao.substr(MensagemErroConexao.size() - 2), "\r\r");
    // One line, the error text after a CR (the next log call splits it).
    const std::string log = amb.Log();
    EXPECT_NE(log.find(": Erro ao conectar na Base de Dados:\r" + MensagemErroConexao + "\r\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("Erro ao conectar"), log.rfind("Erro ao conectar"));
    EXPECT_FALSE(dm->FBqrempresa.Active());
    EXPECT_FALSE(dm->Timer.Enabled());
    EXPECT_FALSE(dm->Timer_Requisicao.Enabled());
    dm.reset();
  }
}

TEST_F(ModuloDeDados, ReconectarDepoisQueOBancoVolta) {
  AmbienteServico amb(SemDebug());
  const std::string guardado = amb.Bancos().diretorio + "/guardado.fdb";
  std::filesystem::rename(amb.Bancos().dados, guardado);
  dm = std::make_unique<Tdm>();
  ASSERT_TRUE(ErroConexao);
  EXPECT_FALSE(dm->ConectarBancos());
  std::filesystem::rename(guardado, amb.Bancos().dados);
  EXPECT_TRUE(dm->ConectarBancos());
  EXPECT_FALSE(ErroConexao);
  EXPECT_EQ(MensagemErroConexao, "");
  AbrirEmpresa();
  EXPECT_TRUE(dm->FBqrempresa.Active());
  EXPECT_TRUE(dm->Timer.Enabled());
}

TEST_F(ModuloDeDados, ErroAoAbrirAEmpresaDeixaOServicoParado) {
  AmbienteServico amb(SemDebug());
  amb.Executar("DROP TABLE CAD_MODELO_ETIQUETA");
  dm = std::make_unique<Tdm>();
  EXPECT_FALSE(ErroConexao);
  EXPECT_FALSE(dm->FBqrempresa.Active());
  EXPECT_FALSE(dm->Timer.Enabled());
  EXPECT_FALSE(dm->Timer_Requisicao.Enabled());
  const std::string log = amb.Log();
  EXPECT_NE(log.find(": Erro ao abrir o cadastro da empresa: "), std::string::npos) << log;
  EXPECT_NE(log.find("CAD_MODELO_ETIQUETA"), std::string::npos) << log;
}

TEST(Catalogo, GeneratorDeFaturamentoPorEmpresa) {
  const std::pair<int, const char*> casos[] = {{1, "MOV_CONTRATO_FATURAMENTO_001"},
                                               {7, "MOV_CONTRATO_FATURAMENTO_007"},
                                               {42, "MOV_CONTRATO_FATURAMENTO_042"},
                                               {1234, "MOV_CONTRATO_FATURAMENTO_1234"}};
  for (const auto& [empresa, nome] : casos) EXPECT_EQ(tabelas::GeneratorContratoFaturamento(empresa), nome);
}

}  // namespace
