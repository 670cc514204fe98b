// The fixed values the service writes to or tests in the ERP database outside
// its SQL texts, which name their tables, columns and values themselves. The
// ERP owns the schema; these must match it letter for letter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "global/funcoes.h"

namespace tabelas {

// Yes/no columns of the ERP hold text: "2" for yes, "1" for no.
inline constexpr std::string_view Sim = "2";
inline constexpr std::string_view Nao = "1";

// "MOV_CONTRATO_FATURAMENTO_" + the company code with "0" put in front while
// it is shorter than three characters: 7 gives ..._007, 1234 gives ..._1234.
inline std::string GeneratorContratoFaturamento(std::int32_t empresa) {
  return "MOV_CONTRATO_FATURAMENTO_" + ZerosEsquerda(std::to_string(empresa), 3);
}

namespace cad_empresa {
// USA_INTEGRACAO_API_FINANCEIRO: the web-service flows run only with this value.
inline constexpr std::string_view IntegracaoLigada = "2";
}  // namespace cad_empresa

// Defaults of a client created from the billing.
namespace cad_pessoa {
// Written "2".
inline constexpr std::string_view ColunasSim[] = {"TIPO_CLIENTE", "CLI_CONTRATO_MANUTENCAO",
                                                  "CLI_CONTRATO_FATURAMENTO"};
// Written "1".
inline constexpr std::string_view ColunasNao[] = {
    "CLI_INATIVO", "TIPO_FORNECEDOR", "TIPO_TRANSPORTADORA", "TIPO_VENDEDOR", "TIPO_FUNCIONARIO",
    "CLI_BLOQUEAR_VENDA_CREDIARIO", "CLI_POSSUE_IMOVEL", "CLI_POSSUE_AUTOMOVEL", "CLI_PAGA_ALUGUEL",
    "CLI_POSSUE_NIVEL_SUPERIOR", "CLI_PASSOU_SERASA", "CLI_PASSOU_SPC", "CLI_NAO_IMPRIMIR_CARTA_DEBITO",
    "FOR_INATIVO", "VEN_INATIVO", "FUN_INATIVO", "TRA_INATIVO", "TIPO_CONVENIO",
    "CLI_PRAZO_VENCIMENTO_CREDIARIO", "CLI_BLOQUEAR_VENDA_CHEQUE", "CLI_RESIDE_UM_ANO_ENDERECO",
    "ACERTO_CADASTRO", "CLI_NAO_COBRAR_JUROS_MENSAL", "CLI_13_SALARIO_MANUTENCAO",
    "REAJUSTE_CONTRATO_MANUTENCAO", "CLI_BLOQUEAR_VENDA_DIAS_ATRASO", "TRA_ENVIAR_COMUNICADO_NFE"};
inline constexpr std::string_view ContratoMensal = "Mensal";  // TIPO_CONTRATO_MANUTENCAO
inline constexpr std::int64_t DiaContratoManutencao = 10;     // CLI_DIA_CONTRATO_MANUTENCAO
}  // namespace cad_pessoa

namespace mov_contas_receber {
// CAIXA and DOCUMENTO of the receivables of maintenance contracts.
inline constexpr std::string_view ContratoManutencao = "CM";
}  // namespace mov_contas_receber

namespace mov_requisicao_servico {
inline constexpr std::string_view BuscarFaturamentoApi = "BUSCAR_FATURAMENTO_API";  // TIPO_REQUISICAO
}  // namespace mov_requisicao_servico

}  // namespace tabelas
