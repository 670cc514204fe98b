// The parts of the ERP database the service reads and writes: tables,
// columns, generators and the fixed values it writes or tests. The ERP owns
// the schema; these names must match it letter for letter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "global/funcoes.h"

namespace tabelas {

// Yes/no columns of the ERP hold text: "2" for yes, "1" for no.
inline constexpr std::string_view Sim = "2";
inline constexpr std::string_view Nao = "1";

namespace generators {
// Row source of every SELECT GEN_ID(...) ULTIMO FROM GENERATORS.
inline constexpr std::string_view Tabela = "GENERATORS";
inline constexpr std::string_view Ultimo = "ULTIMO";
inline constexpr std::string_view CadPessoa = "CAD_PESSOA";
inline constexpr std::string_view PrefixoContratoFaturamento = "MOV_CONTRATO_FATURAMENTO_";
}  // namespace generators

// "MOV_CONTRATO_FATURAMENTO_" + the company code with "0" put in front while
// it is shorter than three characters: 7 gives ..._007, 1234 gives ..._1234.
inline std::string GeneratorContratoFaturamento(std::int32_t empresa) {
  return std::string(generators::PrefixoContratoFaturamento) + ZerosEsquerda(std::to_string(empresa), 3);
}

namespace cad_empresa {
inline constexpr std::string_view Tabela = "CAD_EMPRESA";
inline constexpr std::string_view Cadastro = "CADASTRO";
inline constexpr std::string_view IntervaloRecFinanceiro = "INTERVALO_REC_FINANCEIRO";
inline constexpr std::string_view UsaIntegracaoApiFinanceiro = "USA_INTEGRACAO_API_FINANCEIRO";
inline constexpr std::string_view ApiFornecedorConexao = "API_FORNECEDOR_CONEXAO";
inline constexpr std::string_view ApiFornecedorEndereco = "API_FORNECEDOR_ENDERECO";
inline constexpr std::string_view ApiFornecedorToken = "API_FORNECEDOR_TOKEN";
inline constexpr std::string_view VendedorFaturamento = "VENDEDOR_FATURAMENTO";
inline constexpr std::string_view CnpjCpf = "CNPJ_CPF";
inline constexpr std::string_view Cidade = "CIDADE";
inline constexpr std::string_view ApiFornecedorEtiqueta = "API_FORNECEDOR_ETIQUETA";
// Brought by the company query's joins.
inline constexpr std::string_view NomeCidade = "NOME_CIDADE";
inline constexpr std::string_view Estado = "ESTADO";
inline constexpr std::string_view Pais = "PAIS";
inline constexpr std::string_view NomePais = "NOME_PAIS";
inline constexpr std::string_view CodigoEstadoIbge = "CODIGO_ESTADO_IBGE";
inline constexpr std::string_view DescricaoEtiquetaPadrao = "DESCRICAO_ETIQUETA_PADRAO";
// USA_INTEGRACAO_API_FINANCEIRO: the web-service flows run only with this value.
inline constexpr std::string_view IntegracaoLigada = "2";
}  // namespace cad_empresa

namespace cad_pessoa {
inline constexpr std::string_view Tabela = "CAD_PESSOA";
inline constexpr std::string_view Cadastro = "CADASTRO";
inline constexpr std::string_view Nome = "NOME";
inline constexpr std::string_view CnpjCpf = "CNPJ_CPF";
inline constexpr std::string_view IeRg = "IE_RG";
inline constexpr std::string_view Endereco = "ENDERECO";
inline constexpr std::string_view NumeroEndereco = "NUMERO_ENDERECO";
inline constexpr std::string_view Complemento = "COMPLEMENTO";
inline constexpr std::string_view Bairro = "BAIRRO";
inline constexpr std::string_view Cep = "CEP";
inline constexpr std::string_view Cidade = "CIDADE";
inline constexpr std::string_view CnpjLicenca = "CNPJ_LICENCA";
inline constexpr std::string_view TipoCliente = "TIPO_CLIENTE";
inline constexpr std::string_view CliContratoManutencao = "CLI_CONTRATO_MANUTENCAO";
inline constexpr std::string_view CliContratoFaturamento = "CLI_CONTRATO_FATURAMENTO";
inline constexpr std::string_view TipoContratoManutencao = "TIPO_CONTRATO_MANUTENCAO";
inline constexpr std::string_view CliDiaContratoManutencao = "CLI_DIA_CONTRATO_MANUTENCAO";
inline constexpr std::string_view CliMesInicialMensalidade = "CLI_MES_INICIAL_MENSALIDADE";
inline constexpr std::string_view CliAnoInicialMensalidade = "CLI_ANO_INICIAL_MENSALIDADE";
inline constexpr std::string_view CliValorContratoManutencao = "CLI_VALOR_CONTRATO_MANUTENCAO";

// Written "2" for a client created from the billing.
inline constexpr std::string_view ColunasSim[] = {"TIPO_CLIENTE", "CLI_CONTRATO_MANUTENCAO",
                                                  "CLI_CONTRATO_FATURAMENTO"};
// Written "1" for a client created from the billing.
inline constexpr std::string_view ColunasNao[] = {
    "CLI_INATIVO", "TIPO_FORNECEDOR", "TIPO_TRANSPORTADORA", "TIPO_VENDEDOR", "TIPO_FUNCIONARIO",
    "CLI_BLOQUEAR_VENDA_CREDIARIO", "CLI_POSSUE_IMOVEL", "CLI_POSSUE_AUTOMOVEL", "CLI_PAGA_ALUGUEL",
    "CLI_POSSUE_NIVEL_SUPERIOR", "CLI_PASSOU_SERASA", "CLI_PASSOU_SPC", "CLI_NAO_IMPRIMIR_CARTA_DEBITO",
    "FOR_INATIVO", "VEN_INATIVO", "FUN_INATIVO", "TRA_INATIVO", "TIPO_CONVENIO",
    "CLI_PRAZO_VENCIMENTO_CREDIARIO", "CLI_BLOQUEAR_VENDA_CHEQUE", "CLI_RESIDE_UM_ANO_ENDERECO",
    "ACERTO_CADASTRO", "CLI_NAO_COBRAR_JUROS_MENSAL", "CLI_13_SALARIO_MANUTENCAO",
    "REAJUSTE_CONTRATO_MANUTENCAO", "CLI_BLOQUEAR_VENDA_DIAS_ATRASO", "TRA_ENVIAR_COMUNICADO_NFE"};

inline constexpr std::string_view ContratoMensal = "Mensal";    // TIPO_CONTRATO_MANUTENCAO
inline constexpr std::int64_t DiaContratoManutencao = 10;       // CLI_DIA_CONTRATO_MANUTENCAO
}  // namespace cad_pessoa

namespace mov_contas_receber {
inline constexpr std::string_view Tabela = "MOV_CONTAS_RECEBER";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Caixa = "CAIXA";
inline constexpr std::string_view Documento = "DOCUMENTO";
inline constexpr std::string_view Cliente = "CLIENTE";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view Serie = "SERIE";
inline constexpr std::string_view Parcela = "PARCELA";
inline constexpr std::string_view IdFatura = "ID_FATURA";
inline constexpr std::string_view Saldo = "SALDO";
inline constexpr std::string_view FaturaEnviada = "FATURA_ENVIADA";
inline constexpr std::string_view Emissao = "EMISSAO";
inline constexpr std::string_view StatusEnvioApi = "STATUS_ENVIO_API";
inline constexpr std::string_view Valor = "VALOR";
inline constexpr std::string_view Vencimento = "VENCIMENTO";
inline constexpr std::string_view SerieNotaServico = "SERIE_NOTA_SERVICO";
inline constexpr std::string_view NumeroNotaServico = "NUMERO_NOTA_SERVICO";
// CAIXA and DOCUMENTO of the receivables of maintenance contracts.
inline constexpr std::string_view ContratoManutencao = "CM";
inline constexpr std::string_view FaturaReportada = "2";   // FATURA_ENVIADA
inline constexpr std::string_view Enviado = "Enviado";     // STATUS_ENVIO_API
}  // namespace mov_contas_receber

namespace mov_it_contas_receber {
inline constexpr std::string_view Tabela = "MOV_IT_CONTAS_RECEBER";
inline constexpr std::string_view ValorPago = "VALOR_PAGO";
}  // namespace mov_it_contas_receber

namespace mov_contrato_manutencao {
inline constexpr std::string_view Tabela = "MOV_CONTRATO_MANUTENCAO";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view AnoReferencia = "ANO_REFERENCIA";
inline constexpr std::string_view MesReferencia = "MES_REFERENCIA";
}  // namespace mov_contrato_manutencao

namespace mov_nota_fiscal_venda {
inline constexpr std::string_view Tabela = "MOV_NOTA_FISCAL_VENDA";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Serie = "SERIE";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view Status = "STATUS";
inline constexpr std::string_view StatusEnvioApi = "STATUS_ENVIO_API";
inline constexpr std::string_view IdentificacaoArquivoXmlNfe = "IDENTIFICACAO_ARQUIVO_XML_NFE";
inline constexpr std::string_view NfseAutorizada = "NFSE Autorizada";  // STATUS
inline constexpr std::string_view Enviado = "Enviado";                 // STATUS_ENVIO_API
}  // namespace mov_nota_fiscal_venda

namespace mov_requisicao_servico {
inline constexpr std::string_view Tabela = "MOV_REQUISICAO_SERVICO";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view TipoRequisicao = "TIPO_REQUISICAO";
inline constexpr std::string_view Requisicao = "REQUISICAO";
inline constexpr std::string_view BuscarFaturamentoApi = "BUSCAR_FATURAMENTO_API";  // TIPO_REQUISICAO
}  // namespace mov_requisicao_servico

namespace mov_contrato_faturamento {
inline constexpr std::string_view Tabela = "MOV_CONTRATO_FATURAMENTO";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view Vendedor = "VENDEDOR";
inline constexpr std::string_view MesReferencia = "MES_REFERENCIA";
inline constexpr std::string_view AnoReferencia = "ANO_REFERENCIA";
}  // namespace mov_contrato_faturamento

namespace mov_it_contrato_faturamento {
inline constexpr std::string_view Tabela = "MOV_IT_CONTRATO_FATURAMENTO";
inline constexpr std::string_view Empresa = "EMPRESA";
inline constexpr std::string_view Numero = "NUMERO";
inline constexpr std::string_view Seq = "SEQ";
inline constexpr std::string_view Cliente = "CLIENTE";
inline constexpr std::string_view Comissao = "COMISSAO";
inline constexpr std::string_view Mensalidade = "MENSALIDADE";
inline constexpr std::string_view IdFatura = "ID_FATURA";
}  // namespace mov_it_contrato_faturamento

// Read only, reached through joins.
namespace cad_cidade {
inline constexpr std::string_view Tabela = "CAD_CIDADE";
}
namespace cad_pais {
inline constexpr std::string_view Tabela = "CAD_PAIS";
}
namespace cad_aliquota_icms_estado {
inline constexpr std::string_view Tabela = "CAD_ALIQUOTA_ICMS_ESTADO";
}
namespace cad_modelo_etiqueta {
inline constexpr std::string_view Tabela = "CAD_MODELO_ETIQUETA";
}

}  // namespace tabelas
