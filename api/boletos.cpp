// Boleto upload: the PDF of every contract receivable of the window that has
// not been sent yet goes to the web service, one request per file.
#include <cstdint>
#include <string>
#include <vector>

#include "api/chamada.h"
#include "api/envio_arquivos.h"
#include "api/ufuncoes_api.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/servidor_banco.h"
#include "global/uglobal.h"
#include "plataforma/caminhos.h"

namespace {

const char* const kSelecaoBoletos =
    "SELECT R.EMPRESA, R.CAIXA, R.DOCUMENTO, R.CLIENTE, R.NUMERO, R.SERIE, R.PARCELA, P.CNPJ_CPF, "
    "CM.ANO_REFERENCIA, CM.MES_REFERENCIA, R.VALOR, R.VENCIMENTO FROM MOV_CONTAS_RECEBER R "
    "LEFT OUTER JOIN CAD_PESSOA P ON (P.CADASTRO = R.CLIENTE) "
    "LEFT OUTER JOIN MOV_CONTRATO_MANUTENCAO CM ON (CM.EMPRESA = R.EMPRESA AND CM.NUMERO = R.NUMERO) "
    "WHERE R.EMPRESA = :EMPRESA AND R.DOCUMENTO = 'CM' AND R.EMISSAO BETWEEN :DATA_INICIAL AND :DATA_FINAL "
    "AND ((R.STATUS_ENVIO_API IS NULL) OR (R.STATUS_ENVIO_API <> 'Enviado'))";

const char* const kMarcaBoletoEnviado =
    "UPDATE MOV_CONTAS_RECEBER SET STATUS_ENVIO_API = 'Enviado' WHERE EMPRESA = :EMPRESA AND CAIXA = :CAIXA "
    "AND DOCUMENTO = :DOCUMENTO AND CLIENTE = :CLIENTE AND NUMERO = :NUMERO AND SERIE = :SERIE AND PARCELA = :PARCELA";

enum Celula { Empresa, Caixa, Documento, Cliente, Numero, Serie, Parcela, Cnpj, Ano, Mes, Valor, Vencimento };

const char* const kRotulos[] = {"Empresa:    ", "Caixa:      ", "Documento:  ", "Cliente:    ",
                                "Número:     ", "Serie:      ", "Parcela:    ", "CNPJ:       ",
                                "Ano:        ", "Mês:        ", "Valor:      ", "Vencimento: "};

// Two decimals, a half rounded away from zero, then with a decimal point.
std::string ValorComDuasCasas(const Moeda& valor) {
  const bool negativo = valor.dezmilesimos < 0;
  // The magnitude as unsigned, so that the lowest value has one as well.
  const std::uint64_t v = negativo ? 0 - static_cast<std::uint64_t>(valor.dezmilesimos)
                                   : static_cast<std::uint64_t>(valor.dezmilesimos);
  const std::uint64_t centavos = v / 100 + (v % 100 >= 50 ? 1 : 0);
  std::string texto = std::to_string(centavos / 100) + "," + ZerosEsquerda(std::to_string(centavos % 100), 2);
  if (negativo && centavos != 0) texto = "-" + texto;
  return TrocarPontoVirgula(texto);
}

void SelecionarBoletos() {
  auto& q = AbrirSelecaoDaJanela(kSelecaoBoletos);
  for (; !q.Eof(); q.Next()) {
    const std::string cnpj = q.FieldByName("CNPJ_CPF").AsString();
    if (Trim(cnpj).empty()) continue;
    auto& linha = Registros.emplace_back();
    for (const char* coluna : {"EMPRESA", "CAIXA", "DOCUMENTO", "CLIENTE", "NUMERO", "SERIE", "PARCELA"})
      linha.push_back(q.FieldByName(coluna).AsString());
    linha.push_back(cnpj);
    linha.push_back(q.FieldByName("ANO_REFERENCIA").AsString());
    linha.push_back(std::to_string(NumeroMes(q.FieldByName("MES_REFERENCIA").AsString())));
    linha.push_back(ValorComDuasCasas(q.FieldByName("VALOR").AsCurrency()));
    const auto vencimento = q.FieldByName("VENCIMENTO");
    linha.push_back(vencimento.IsNull() ? std::string() : FormatarData(DataDe(vencimento.AsDateTime())));
    LogarLinhaSelecionada(kRotulos, linha);
  }
}

EnvioArquivo PrepararBoleto(const std::vector<std::string>& linha) {
  EnvioArquivo envio;
  envio.url = EnderecoBase() + "/financeiro/fatura/documento/boleto?token_erp=" + CodificarValor(TokenApi()) +
              "&cnpj=" + CodificarValor(linha[Cnpj]) + "&ano=" + CodificarValor(linha[Ano]) +
              "&mes=" + CodificarValor(linha[Mes]) + "&parcela=" + CodificarValor(linha[Parcela]) +
              "&valor=" + CodificarValor(linha[Valor]) + "&data_vencimento=" + CodificarValor(linha[Vencimento]);
  const std::string sep(1, SeparadorCaminho);
  const std::string cnpj_empresa = SomenteNumeros(dm->FBqrempresa.FieldByName("CNPJ_CPF").AsString());
  envio.caminho = PastaArquivosServidor() + sep + "Boleto" + sep + cnpj_empresa + sep + SomenteNumeros(linha[Cnpj]) + sep +
                  "CM " + linha[Numero] + "-" + linha[Parcela] + ".pdf";
  return envio;
}

void MarcarBoleto(const std::vector<std::string>& linha) {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kMarcaBoletoEnviado);
  q.ParamByName("EMPRESA").AsInteger(TextoParaInteiro(linha[Empresa]));
  q.ParamByName("CAIXA").AsString(linha[Caixa]);
  q.ParamByName("DOCUMENTO").AsString(linha[Documento]);
  q.ParamByName("CLIENTE").AsInteger(TextoParaInteiro(linha[Cliente]));
  q.ParamByName("NUMERO").AsInteger(TextoParaInteiro(linha[Numero]));
  q.ParamByName("SERIE").AsInteger(TextoParaInteiro(linha[Serie]));
  q.ParamByName("PARCELA").AsInteger(TextoParaInteiro(linha[Parcela]));
  q.ExecSQL();
}

}  // namespace

void EnviarBoletos() {
  ContagemFluxo& contagem = ApuracaoAtual().Iniciar(FluxoApurado::Boletos);
  if (EmDebug()) GravarLog("Enviando os Boletos para a API.");
  SelecionarBoletos();
  PrepararEnvioMultipart(dm->IdHTTP);
  EnviarArquivosRegistros(PrepararBoleto, MarcarBoleto, contagem);
  contagem.concluido = true;
}
