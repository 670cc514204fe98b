// Contract billing records: each invoice not imported yet becomes an item of
// the company's contract billing of the reference month; the invoice number
// of the web service makes the import repeatable.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>

#include "api/faturamento.h"
#include "dm/banco.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"

namespace {

const char* const kItemDaFatura =
    "SELECT NUMERO FROM MOV_IT_CONTRATO_FATURAMENTO WHERE EMPRESA = :EMPRESA AND ID_FATURA = :ID_FATURA";

const char* const kCabecalhoDoMes =
    "SELECT MAX(FI.SEQ) SEQ, F.NUMERO FROM MOV_CONTRATO_FATURAMENTO F LEFT OUTER JOIN MOV_IT_CONTRATO_FATURAMENTO FI "
    "ON (FI.EMPRESA = F.EMPRESA AND FI.NUMERO = F.NUMERO) WHERE F.EMPRESA = :EMPRESA AND F.MES_REFERENCIA = :MES "
    "AND F.ANO_REFERENCIA = :ANO GROUP BY F.NUMERO";

const char* const kInsercaoCabecalho =
    "INSERT INTO MOV_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, VENDEDOR, MES_REFERENCIA, ANO_REFERENCIA) "
    "VALUES (:EMPRESA, :NUMERO, :VENDEDOR, :MES, :ANO)";

const char* const kInsercaoItem =
    "INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, COMISSAO, MENSALIDADE, ID_FATURA) "
    "VALUES (:EMPRESA, :NUMERO, :SEQ, :CLIENTE, :COMISSAO, :MENSALIDADE, :ID_FATURA)";

const char* const kRemocaoRequisicoes =
    "DELETE FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = :EMPRESA AND TIPO_REQUISICAO = :REQUISICAO";

// Amounts come with a decimal point; they are stored exactly, whatever the
// host's locale.
Moeda LerValor(const std::string& texto) {
  const std::string regional = TrocarPontoVirgula(texto);
  try {
    return Moeda::DeTexto(regional);
  } catch (const std::exception&) {
    throw std::runtime_error("'" + regional + "' is not a valid floating point value");
  }
}

bool SemCliente(const LinhaFaturamento& l) { return l.Cliente.empty() || l.Cliente == "0"; }

struct Cabecalho {
  std::int64_t numero = 0;      // NumeroFaturamento
  std::int64_t proxima_seq = 1;  // ProximaSeq
  bool procurado = false;
  std::string erro;  // the header could not be written: no item goes against its number
};

void ProcurarCabecalho(Cabecalho& c, const PeriodoReferencia& periodo) {
  if (EmDebug()) GravarLog("Buscando Faturamento.");
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kCabecalhoDoMes);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("MES").AsString(NomeMes(periodo.mes));
  q.ParamByName("ANO").AsInteger(periodo.ano);
  q.Open();
  if (!q.Eof() && q.FieldByName("NUMERO").AsInteger() > 0) {
    c.numero = q.FieldByName("NUMERO").AsInteger();
    c.proxima_seq = q.FieldByName("SEQ").AsInteger() + 1;
  }
  c.procurado = true;
  GravarLog("Faturamento: " + std::to_string(c.numero));
}

void CriarCabecalho(Cabecalho& c, const PeriodoReferencia& periodo) {
  if (EmDebug()) GravarLog("Gravando Faturamento.");
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL("SELECT GEN_ID(" + tabelas::GeneratorContratoFaturamento(CodigoEmpresa) + ", 1) ULTIMO FROM GENERATORS");
  q.Open();
  if (q.Eof()) throw std::runtime_error("A tabela GENERATORS não tem registro.");
  c.numero = q.FieldByName("ULTIMO").AsInteger();
  try {
    q.Close();
    q.SetSQL(kInsercaoCabecalho);
    q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
    q.ParamByName("NUMERO").AsInteger(c.numero);
    q.ParamByName("VENDEDOR").AsInteger(dm->FBqrempresa.FieldByName("VENDEDOR_FATURAMENTO").AsInteger());
    q.ParamByName("MES").AsString(NomeMes(periodo.mes));
    q.ParamByName("ANO").AsString(std::to_string(periodo.ano));
    q.ExecSQL();
  } catch (const std::exception& e) {
    c.erro = e.what();
  }
}

void InserirItem(const LinhaFaturamento& l, const Cabecalho& c) {
  const Moeda comissao = LerValor(l.Aliquota);
  const Moeda mensalidade = LerValor(l.ValorCobranca);
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kInsercaoItem);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("NUMERO").AsInteger(c.numero);
  q.ParamByName("SEQ").AsInteger(c.proxima_seq);
  q.ParamByName("CLIENTE").AsInteger(TextoParaInteiro(l.Cliente));
  q.ParamByName("COMISSAO").AsCurrency(comissao);
  q.ParamByName("MENSALIDADE").AsCurrency(mensalidade);
  q.ParamByName("ID_FATURA").AsInteger(TextoParaInteiro(l.IdFatura));
  q.ExecSQL();
}

}  // namespace

std::int32_t NumeroFatura(const LinhaFaturamento& l) { return TextoParaInteiro32("0" + l.IdFatura); }

void VerificarLancamento(LinhaFaturamento& l) {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kItemDaFatura);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("ID_FATURA").AsInteger(NumeroFatura(l));
  q.Open();
  if (!q.Eof() && q.FieldByName("NUMERO").AsInteger() > 0) l.Lancamento = q.FieldByName("NUMERO").AsString();
}

void GravarFaturamento(TabelaFaturamento& linhas, const PeriodoReferencia& periodo) {
  Cabecalho c;
  ContagemFluxo& contagem = ApuracaoAtual().De(FluxoApurado::Faturamento);
  const auto falhou = [&contagem](const std::string& linha) {
    GravarLog(linha);
    ++contagem.com_erro;
    contagem.Falha(linha);
  };
  // An invoice the web service lists twice is still billed once.
  std::set<std::int64_t> gravadas;
  for (auto& l : linhas) {
    PararSePedido();  // before the request is removed: the next start writes the rest
    if (!l.Lancamento.empty()) continue;
    // The already-imported check has read every IdFatura this way.
    const std::int64_t id_fatura = NumeroFatura(l);
    if (gravadas.contains(id_fatura)) {
      l.Lancamento = std::to_string(c.numero);
      continue;
    }
    // Looked up at most once and created at most once per run.
    if (!c.procurado) {
      ProcurarCabecalho(c, periodo);
      if (c.numero == 0) CriarCabecalho(c, periodo);
    }

    // The drawn number belongs to no header: nothing may be written against it.
    if (!c.erro.empty()) {
      falhou("Erro: " + c.erro);
      continue;
    }
    if (SemCliente(l)) {
      falhou("Erro ao buscar o Cliente. Fatura Nr: " + l.IdFatura);
      continue;
    }
    try {
      InserirItem(l, c);
      ++c.proxima_seq;
      gravadas.insert(id_fatura);
      ++contagem.feitos;
    } catch (const std::exception& e) {
      falhou(std::string("Erro: ") + e.what());
    }
  }

  // Without its header the month's items were not written: the request stays
  // so that a later run imports them.
  if (!c.erro.empty()) return;

  if (EmDebug()) GravarLog("Faturamento Gravado com Sucesso.");
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kRemocaoRequisicoes);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("REQUISICAO").AsString(std::string(tabelas::mov_requisicao_servico::BuscarFaturamentoApi));
  q.ExecSQL();
}
