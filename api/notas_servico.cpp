// Service-invoice upload: the XML of every authorised service invoice of the
// window's contract receivables that has not been sent yet, one request per file.
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

const char* const kSelecaoNotas =
    "SELECT P.CNPJ_CPF, CM.ANO_REFERENCIA, CM.MES_REFERENCIA, NF.SERIE, NF.NUMERO, NF.IDENTIFICACAO_ARQUIVO_XML_NFE "
    "FROM MOV_CONTAS_RECEBER R LEFT OUTER JOIN CAD_PESSOA P ON (P.CADASTRO = R.CLIENTE) "
    "LEFT OUTER JOIN MOV_CONTRATO_MANUTENCAO CM ON (CM.EMPRESA = R.EMPRESA AND CM.NUMERO = R.NUMERO) "
    "LEFT OUTER JOIN MOV_NOTA_FISCAL_VENDA NF ON (NF.EMPRESA = R.EMPRESA AND NF.SERIE = R.SERIE_NOTA_SERVICO "
    "AND NF.NUMERO = R.NUMERO_NOTA_SERVICO) WHERE R.EMPRESA = :EMPRESA AND R.DOCUMENTO = 'CM' "
    "AND R.EMISSAO BETWEEN :DATA_INICIAL AND :DATA_FINAL AND ((NF.STATUS_ENVIO_API IS NULL) OR "
    "(NF.STATUS_ENVIO_API <> 'Enviado')) AND NF.STATUS = 'NFSE Autorizada'";

const char* const kMarcaNotaEnviada =
    "UPDATE MOV_NOTA_FISCAL_VENDA SET STATUS_ENVIO_API = 'Enviado' WHERE EMPRESA = :EMPRESA AND SERIE = :SERIE "
    "AND NUMERO = :NUMERO";

enum Celula { Cnpj, Ano, Mes, Serie, Numero, Arquivo };

const char* const kRotulos[] = {"CNPJ:    ", "Ano:     ", "Mês:     ", "Serie:   ", "Número:  ", "Arquivo: "};

void SelecionarNotas() {
  auto& q = AbrirSelecaoDaJanela(kSelecaoNotas);
  for (; !q.Eof(); q.Next()) {
    if (q.FieldByName("NUMERO").AsInteger() <= 0) continue;
    auto& linha = Registros.emplace_back();
    linha.push_back(q.FieldByName("CNPJ_CPF").AsString());
    linha.push_back(q.FieldByName("ANO_REFERENCIA").AsString());
    linha.push_back(std::to_string(NumeroMes(q.FieldByName("MES_REFERENCIA").AsString())));
    linha.push_back(q.FieldByName("SERIE").AsString());
    linha.push_back(q.FieldByName("NUMERO").AsString());
    linha.push_back(q.FieldByName("IDENTIFICACAO_ARQUIVO_XML_NFE").AsString());
    LogarLinhaSelecionada(kRotulos, linha);
  }
}

EnvioArquivo PrepararNota(const std::vector<std::string>& linha) {
  EnvioArquivo envio;
  envio.url = EnderecoBase() + "/financeiro/fatura/documento/nota-fiscal?token_erp=" + CodificarValor(TokenApi()) +
              "&cnpj=" + CodificarValor(linha[Cnpj]) + "&ano=" + CodificarValor(linha[Ano]) +
              "&mes=" + CodificarValor(linha[Mes]) + "&serie=" + CodificarValor(linha[Serie]) +
              "&numero=" + CodificarValor(linha[Numero]);
  const std::string sep(1, SeparadorCaminho);
  envio.caminho = PastaArquivosServidor() + sep + "NFSe" + sep + "Empresa_" +
                  ZerosEsquerda(std::to_string(CodigoEmpresa), 3) + sep + linha[Arquivo];
  return envio;
}

void MarcarNota(const std::vector<std::string>& linha) {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kMarcaNotaEnviada);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("SERIE").AsInteger(TextoParaInteiro(linha[Serie]));
  q.ParamByName("NUMERO").AsInteger(TextoParaInteiro(linha[Numero]));
  q.ExecSQL();
}

}  // namespace

void EnviarNotasServico() {
  ContagemFluxo& contagem = ApuracaoAtual().Iniciar(FluxoApurado::NotasServico);
  if (EmDebug()) GravarLog("Enviando os arquivos XML das Notas de Serviço para a API.");
  SelecionarNotas();
  PrepararEnvioMultipart(dm->IdHTTP);
  EnviarArquivosRegistros(PrepararNota, MarcarNota, contagem);
  contagem.concluido = true;
}
