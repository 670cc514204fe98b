// Paid-invoice report: the company's paid contract receivables that carry an
// invoice identifier go to the web service in one request; every invoice it
// takes is marked so that it is reported once.
#include <string>
#include <utility>
#include <vector>

#include "api/chamada.h"
#include "api/ufuncoes_api.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/json.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"

namespace {

const char* const kSelecaoFaturasPagas =
    "SELECT SUM(IR.VALOR_PAGO) VALOR, R.CLIENTE, R.ID_FATURA FROM MOV_CONTAS_RECEBER R "
    "LEFT OUTER JOIN MOV_IT_CONTAS_RECEBER IR ON (IR.EMPRESA = R.EMPRESA AND IR.CAIXA = R.CAIXA AND "
    "IR.DOCUMENTO = R.DOCUMENTO AND IR.CLIENTE = R.CLIENTE AND IR.NUMERO = R.NUMERO) "
    "WHERE R.EMPRESA = :EMPRESA AND R.CAIXA = :CAIXA AND R.DOCUMENTO = :DOCUMENTO AND R.ID_FATURA > 0 "
    "AND R.FATURA_ENVIADA <> '2' AND R.SALDO = 0 GROUP BY R.CLIENTE, R.ID_FATURA ORDER BY R.ID_FATURA";

const char* const kMarcaFaturaEnviada =
    "UPDATE MOV_CONTAS_RECEBER SET FATURA_ENVIADA = '2' WHERE EMPRESA = :EMPRESA AND ID_FATURA = :ID_FATURA";

struct Retorno {
  std::string mensagem;
  std::string id_fatura;
};

// A missing or non-array list leaves it empty; an element whose members
// cannot be read keeps what was read before.
std::vector<Retorno> LerRetornos(const ValorJson& resposta, const char* membro) {
  std::vector<Retorno> retornos;
  const ValorJson* lista = nullptr;
  try {
    lista = &LerListaJson(resposta, membro);
  } catch (const std::runtime_error&) {
    return retornos;
  }
  for (const auto& elemento : lista->GetArray()) {
    Retorno& r = retornos.emplace_back();
    try {
      r.mensagem = LerTextoJson(elemento, "message");
      r.id_fatura = LerTextoJson(elemento, "id_fatura");
    } catch (const std::runtime_error&) {
    }
  }
  return retornos;
}

void MarcarFatura(const std::string& id_fatura) {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kMarcaFaturaEnviada);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("ID_FATURA").AsInteger(TextoParaInteiro(id_fatura));
  q.ExecSQL();
}

// The web service answers an invoice it already has with one of these.
bool JaRecebida(const std::string& mensagem) {
  const std::string m = MaiusculasAscii(mensagem);
  return m == "REGISTRO PAGO" || m == "REGISTRO PROCESSADO";
}

void TratarResposta(const std::string& resposta, ContagemFluxo& contagem) {
  DocumentoJson documento;
  if (!LerDocumentoJson(resposta, documento)) throw ErroJson("Invalid JSON");
  LerTextoJson(documento, "error");  // its value says nothing, but it must be there
  const auto sucessos = LerRetornos(documento, "messageSuccess");
  const auto erros = LerRetornos(documento, "messageError");

  // A stop between two marks leaves the rest unmarked: reported again at the
  // next start, the web service answers that it has them, and they are marked.
  for (const auto& r : sucessos) {
    PararSePedido();
    if (EmDebug()) GravarLog("Retorno: " + r.mensagem + " - Id: " + r.id_fatura);
    MarcarFatura(r.id_fatura);
    ++contagem.feitos;
  }
  for (const auto& r : erros) {
    PararSePedido();
    if (JaRecebida(r.mensagem)) {
      if (EmDebug()) GravarLog("Retorno: " + r.mensagem + " - Id: " + r.id_fatura);
      MarcarFatura(r.id_fatura);
      ++contagem.feitos;
    } else {
      GravarLog("Id: " + r.id_fatura + " - Erro: " + r.mensagem);
      ++contagem.com_erro;
      contagem.Falha("Id: " + r.id_fatura + " - Erro: " + r.mensagem);
    }
  }
}

}  // namespace

void EnviarFaturasPagas() {
  ContagemFluxo& contagem = ApuracaoAtual().Iniciar(FluxoApurado::FaturasPagas);
  if (EmDebug()) GravarLog("Buscando os Titulos Pagos.");

  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kSelecaoFaturasPagas);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("CAIXA").AsString(std::string(tabelas::mov_contas_receber::ContratoManutencao));
  q.ParamByName("DOCUMENTO").AsString(std::string(tabelas::mov_contas_receber::ContratoManutencao));
  q.Open();

  Registros.clear();
  for (; !q.Eof(); q.Next()) {
    if (q.FieldByName("CLIENTE").AsInteger() <= 0) continue;
    auto& linha = Registros.emplace_back();
    linha.push_back(q.FieldByName("CLIENTE").AsString());
    linha.push_back(q.FieldByName("ID_FATURA").AsString());
    linha.push_back(q.FieldByName("VALOR").AsString());
    if (EmDebug()) {
      GravarLog("Cliente: " + linha[0]);
      GravarLog("Fatura:  " + linha[1]);
      GravarLog("Valor:   " + linha[2]);
    }
  }

  if (!Registros.empty()) TransmitirFaturasPagas();
  contagem.concluido = true;
}

void TransmitirFaturasPagas() {
  std::string corpo;
  for (const auto& linha : Registros) {
    // The text holds whole items only, so "not blank" is "not empty" (and a
    // trim per row would make the body cost grow with the square of its size).
    if (!corpo.empty()) corpo += ", ";
    // A receivable without payment entries has a null sum: it goes out as 0,
    // never as an empty value that would spoil the whole body.
    const std::string valor = linha[2].empty() ? "0" : TrocarPontoVirgula(linha[2]);
    corpo += "{\"id_fatura\": " + linha[1] + ", \"valorPago\": " + valor + "}";
  }
  corpo = "[" + corpo + "]";

  if (EmDebug()) GravarLog("Json Resposta: " + corpo);

  PararSePedido();  // nothing is sent whose reply would not be applied
  PrepararEnvioJson(dm->IdHTTP, "POST");
  const std::string url = EnderecoBase() + "/financeiro/cliente/faturado?token_erp=" + CodificarValor(TokenApi());
  const std::string resposta = PostarJson(dm->IdHTTP, url, corpo);

  ContagemFluxo& contagem = ApuracaoAtual().De(FluxoApurado::FaturasPagas);
  const std::size_t feitos_antes = contagem.feitos;
  const std::size_t erros_antes = contagem.com_erro;
  try {
    if (EmDebug()) GravarLog(resposta);
    TratarResposta(resposta, contagem);
  } catch (const ParadaSolicitada&) {
    throw;
  } catch (const std::exception& erro) {
    GravarLogComMotivo("Erro ao ler a resposta da API.", erro);
    // The invoices of this request not marked yet stay for the next run.
    const std::size_t tratados = (contagem.feitos - feitos_antes) + (contagem.com_erro - erros_antes);
    if (Registros.size() > tratados) contagem.com_erro += Registros.size() - tratados;
    contagem.Falha(erro);
  }
  PausaAposPost();
}
