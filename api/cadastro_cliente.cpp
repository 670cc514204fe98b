// Client registration during the billing import: every billing row is tied
// to a person of the ERP by its punctuated CNPJ/CPF; an unknown one becomes a
// new client with the ERP's defaults.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "api/faturamento.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "dm/win1252.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/uglobal.h"

namespace {

const char* const kInsercaoPessoa =
    "INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, IE_RG, ENDERECO, NUMERO_ENDERECO, COMPLEMENTO, BAIRRO, CEP, "
    "CIDADE, CLI_INATIVO, TIPO_CLIENTE, TIPO_FORNECEDOR, TIPO_TRANSPORTADORA, TIPO_VENDEDOR, TIPO_FUNCIONARIO, "
    "CLI_BLOQUEAR_VENDA_CREDIARIO, CLI_POSSUE_IMOVEL, CLI_POSSUE_AUTOMOVEL, CLI_PAGA_ALUGUEL, "
    "CLI_POSSUE_NIVEL_SUPERIOR, CLI_PASSOU_SERASA, CLI_PASSOU_SPC, CLI_NAO_IMPRIMIR_CARTA_DEBITO, FOR_INATIVO, "
    "VEN_INATIVO, FUN_INATIVO, TRA_INATIVO, TIPO_CONVENIO, CLI_PRAZO_VENCIMENTO_CREDIARIO, "
    "CLI_BLOQUEAR_VENDA_CHEQUE, CLI_RESIDE_UM_ANO_ENDERECO, ACERTO_CADASTRO, CLI_NAO_COBRAR_JUROS_MENSAL, "
    "CLI_CONTRATO_MANUTENCAO, CLI_13_SALARIO_MANUTENCAO, REAJUSTE_CONTRATO_MANUTENCAO, CLI_CONTRATO_FATURAMENTO, "
    "CNPJ_LICENCA, TIPO_CONTRATO_MANUTENCAO, CLI_DIA_CONTRATO_MANUTENCAO, CLI_MES_INICIAL_MENSALIDADE, "
    "CLI_ANO_INICIAL_MENSALIDADE, CLI_VALOR_CONTRATO_MANUTENCAO, CLI_BLOQUEAR_VENDA_DIAS_ATRASO, "
    "TRA_ENVIAR_COMUNICADO_NFE) VALUES (:CADASTRO, :NOME, :CNPJ_CPF, :IE_RG, :ENDERECO, :NUMERO_ENDERECO, "
    ":COMPLEMENTO, :BAIRRO, :CEP, :CIDADE, :CLI_INATIVO, :TIPO_CLIENTE, :TIPO_FORNECEDOR, :TIPO_TRANSPORTADORA, "
    ":TIPO_VENDEDOR, :TIPO_FUNCIONARIO, :CLI_BLOQUEAR_VENDA_CREDIARIO, :CLI_POSSUE_IMOVEL, :CLI_POSSUE_AUTOMOVEL, "
    ":CLI_PAGA_ALUGUEL, :CLI_POSSUE_NIVEL_SUPERIOR, :CLI_PASSOU_SERASA, :CLI_PASSOU_SPC, "
    ":CLI_NAO_IMPRIMIR_CARTA_DEBITO, :FOR_INATIVO, :VEN_INATIVO, :FUN_INATIVO, :TRA_INATIVO, :TIPO_CONVENIO, "
    ":CLI_PRAZO_VENCIMENTO_CREDIARIO, :CLI_BLOQUEAR_VENDA_CHEQUE, :CLI_RESIDE_UM_ANO_ENDERECO, :ACERTO_CADASTRO, "
    ":CLI_NAO_COBRAR_JUROS_MENSAL, :CLI_CONTRATO_MANUTENCAO, :CLI_13_SALARIO_MANUTENCAO, "
    ":REAJUSTE_CONTRATO_MANUTENCAO, :CLI_CONTRATO_FATURAMENTO, :CNPJ_LICENCA, :TIPO_CONTRATO_MANUTENCAO, "
    ":CLI_DIA_CONTRATO_MANUTENCAO, :CLI_MES_INICIAL_MENSALIDADE, :CLI_ANO_INICIAL_MENSALIDADE, "
    ":CLI_VALOR_CONTRATO_MANUTENCAO, :CLI_BLOQUEAR_VENDA_DIAS_ATRASO, :TRA_ENVIAR_COMUNICADO_NFE)";

// The code is drawn and the generator advanced in one step, so a failure or
// another program drawing at the same moment leaves a gap, never a collision.
const char* const kNovoCodigoPessoa = "SELECT GEN_ID(CAD_PESSOA, 1) ULTIMO FROM GENERATORS";

struct CamposInteiros {
  std::int64_t cidade = 0, ano = 0, mes = 0;
};

void InserirPessoa(const LinhaFaturamento& l, std::int64_t codigo, const CamposInteiros& n) {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kInsercaoPessoa);
  q.ParamByName("CADASTRO").AsInteger(codigo);
  q.ParamByName("NOME").AsString(l.Nome);
  q.ParamByName("CNPJ_CPF").AsString(l.Cnpj);
  q.ParamByName("IE_RG").AsString(l.Ie);
  q.ParamByName("ENDERECO").AsString(l.Endereco);
  q.ParamByName("NUMERO_ENDERECO").AsString(l.Numero);
  q.ParamByName("COMPLEMENTO").AsString(l.Complemento);
  q.ParamByName("BAIRRO").AsString(l.Bairro);
  q.ParamByName("CEP").AsString(FormatarCep(l.Cep));
  q.ParamByName("CIDADE").AsInteger(n.cidade);
  for (const auto coluna : tabelas::cad_pessoa::ColunasNao)
    q.ParamByName(std::string(coluna)).AsString(std::string(tabelas::Nao));
  for (const auto coluna : tabelas::cad_pessoa::ColunasSim)
    q.ParamByName(std::string(coluna)).AsString(std::string(tabelas::Sim));
  q.ParamByName("CNPJ_LICENCA").AsString(l.Cnpj);
  q.ParamByName("TIPO_CONTRATO_MANUTENCAO").AsString(std::string(tabelas::cad_pessoa::ContratoMensal));
  q.ParamByName("CLI_DIA_CONTRATO_MANUTENCAO").AsInteger(tabelas::cad_pessoa::DiaContratoManutencao);
  q.ParamByName("CLI_MES_INICIAL_MENSALIDADE").AsString(NomeMes(static_cast<int>(n.mes)));
  q.ParamByName("CLI_ANO_INICIAL_MENSALIDADE").AsInteger(n.ano);
  q.ParamByName("CLI_VALOR_CONTRATO_MANUTENCAO").AsCurrency(Moeda{});
  q.ExecSQL();
}

void LogarFalhaCadastro(const LinhaFaturamento& l, const std::exception& e) {
  GravarLog("Erro ao gravar o Cliente - Id: " + l.IdFatura + " - Erro: " + e.what());
  ApuracaoAtual().De(FluxoApurado::Faturamento).Falha(e);
}

// The item itself is counted where it is written (or not).
void LogarErro(const std::exception& e) {
  GravarLog(std::string("Erro: ") + e.what());
  ApuracaoAtual().De(FluxoApurado::Faturamento).Falha(e);
}

}  // namespace

void ResolverCliente(LinhaFaturamento& l) {
  try {
    l.Cliente = std::to_string(BuscarPessoa(l.Cnpj));
  } catch (const std::exception& e) {
    LogarErro(e);
    l.Cliente.clear();
  }
  if (EmDebug()) GravarLog("Cliente: " + l.Cliente);
  if (!l.Cliente.empty() && l.Cliente != "0") return;

  // Values that cannot be stored fail the row before a code is drawn.
  CamposInteiros n;
  try {
    n.cidade = TextoParaInteiro32(l.CodigoIbge);
    n.ano = TextoParaInteiro32(l.Ano);
    n.mes = TextoParaInteiro32(l.Mes);
    for (const std::string* texto : {&l.Nome, &l.Cnpj, &l.Ie, &l.Endereco, &l.Numero, &l.Complemento, &l.Bairro})
      lumiford::win1252::DeUtf8(*texto);
  } catch (const std::exception& e) {
    l.Cliente = "0";
    LogarFalhaCadastro(l, e);
    return;
  }

  std::int64_t codigo = 0;
  try {
    auto& q = dm->FBqraux1;
    q.Close();
    q.SetSQL(kNovoCodigoPessoa);
    q.Open();
    // Without a row there is no drawn code, and no person goes in under another.
    if (q.Eof()) throw std::runtime_error("A tabela GENERATORS não tem registro.");
    codigo = q.FieldByName("ULTIMO").AsInteger();
  } catch (const std::exception& e) {
    LogarErro(e);
    l.Cliente = "0";
    return;
  }

  l.Cliente = std::to_string(codigo);
  try {
    InserirPessoa(l, codigo, n);
    ++ApuracaoAtual().De(FluxoApurado::Faturamento).clientes_cadastrados;
    if (EmDebug()) GravarLog("Cliente Cadastrado: " + l.Cliente);
  } catch (const std::exception& e) {
    l.Cliente = "0";
    LogarFalhaCadastro(l, e);
  }
}
