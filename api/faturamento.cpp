// Billing import: when the ERP left a request, fetch the previous month's
// billing from the web service, register the clients the ERP does not know
// and write the invoices not imported yet as contract-billing items.
#include "api/faturamento.h"

#include <algorithm>
#include <exception>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <rapidjson/reader.h>

#include "api/chamada.h"
#include "api/ufuncoes_api.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/datas.h"
#include "global/funcoes.h"
#include "global/json.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"

namespace {

const char* const kRequisicaoPendente =
    "SELECT NUMERO FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = :EMPRESA AND TIPO_REQUISICAO = :REQUISICAO";

bool HaRequisicaoPendente() {
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(kRequisicaoPendente);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("REQUISICAO").AsString(std::string(tabelas::mov_requisicao_servico::BuscarFaturamentoApi));
  q.Open();
  return !q.Eof() && q.FieldByName("NUMERO").AsInteger() > 0;
}


// The first "data" array as it stands in the reply, for the debug line: the
// parser itself says where it begins and ends.
std::string_view TextoDosDados(std::string_view json) {
  if (json.starts_with("\xEF\xBB\xBF")) json.remove_prefix(3);
  struct Marcador : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Marcador> {
    const rapidjson::StringStream* fluxo = nullptr;
    int profundidade = 0;
    bool dados = false, visto = false;
    std::size_t inicio = 0, fim = 0;
    bool Key(const char* nome, rapidjson::SizeType n, bool) {
      if (profundidade == 1 && !visto) visto = dados = std::string_view(nome, n) == "data";
      return true;
    }
    bool StartObject() {
      ++profundidade;
      return true;
    }
    bool EndObject(rapidjson::SizeType) {
      --profundidade;
      return true;
    }
    // The iterative parser calls these with the stream still on the bracket.
    bool StartArray() {
      if (++profundidade == 2 && dados) inicio = fluxo->Tell();
      return true;
    }
    bool EndArray(rapidjson::SizeType) {
      if (profundidade-- != 2 || !dados) return true;
      fim = fluxo->Tell() + 1;
      return false;  // found: no need to read on
    }
  } marcador;
  rapidjson::StringStream fluxo(json.data());
  marcador.fluxo = &fluxo;
  rapidjson::Reader leitor;
  leitor.Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag>(fluxo, marcador);
  return marcador.fim > marcador.inicio ? json.substr(marcador.inicio, marcador.fim - marcador.inicio) : std::string_view();
}

// The reply is one JSON object: its first member is the error flag, its
// member "data" the array of billing items.
const ValorJson& LerEnvelope(const std::string& resposta, DocumentoJson& documento) {
  if (Trim(resposta).empty()) throw ErroJson("'' is not a valid boolean value");
  if (!LerDocumentoJson(resposta, documento) || !documento.IsObject())
    throw ErroJson("Resposta da API inválida: o retorno não é um objeto JSON.");
  if (documento.MemberCount() == 0) throw ErroJson("Resposta da API inválida: objeto JSON vazio.");
  const ValorJson& nome = documento.MemberBegin()->name;
  const std::string primeiro(nome.GetString(), nome.GetStringLength());
  const bool erro = LerLogicoJson(documento, primeiro);
  if (EmDebug()) GravarLog(std::string("Erro: ") + (erro ? "-1" : "0"));

  const ValorJson& dados = LerListaJson(documento, "data");
  // With a repeated name the first member is the one read, as above.
  if (EmDebug()) GravarLog("JSON..: " + std::string(TextoDosDados(resposta)));
  return dados;
}

void LerContatos(const ValorJson& item, ContatosLinha& contatos) {
  const ValorJson& lista = LerListaJson(item, "contatos");
  std::size_t livre = 0;  // next free slot
  for (const auto& contato : lista.GetArray()) {
    if (livre > 18) break;  // ten contacts at most
    try {
      contatos[livre] = LerTextoJson(contato, "tipo");
      ++livre;
      contatos[livre] = LerTextoJson(contato, "contato");
      ++livre;
    } catch (const std::runtime_error&) {
      // an unreadable contact is skipped; what was read of it stays
    }
  }
}

// Reads every item in order; on the first error the rows read so far stay
// (for the dump) and the error is returned.
std::exception_ptr LerItens(const ValorJson& dados, TabelaFaturamento& linhas,
                            ContatosFaturamento& contatos) {
  linhas.reserve(dados.Size());
  contatos.reserve(dados.Size());
  try {
    for (const auto& item : dados.GetArray()) {
      auto& l = linhas.emplace_back();
      contatos.emplace_back();
      l.IdFatura = LerTextoJson(item, "id_fatura");
      l.Ano = LerTextoJson(item, "ano");
      l.Mes = LerTextoJson(item, "mes");
      l.Aliquota = LerTextoJson(item, "aliquota");
      l.ValorCobranca = LerTextoJson(item, "valorCobranca");
      l.Observacao = LerTextoJson(item, "observacao");
      l.Nome = LerTextoJson(item, "nome");
      l.Cnpj = FormatarCnpjCpf(SomenteNumeros(LerTextoJson(item, "cnpj")));
      l.Ie = SomenteNumeros(LerTextoJson(item, "ie"));
      l.Endereco = LerTextoJson(item, "endereco");
      l.Numero = LerTextoJson(item, "numero");
      l.Bairro = LerTextoJson(item, "bairro");
      l.Complemento = LerTextoJson(item, "complemento");
      l.Cep = LerTextoJson(item, "cep");
      l.CodigoIbge = LerTextoJson(item, "codigoIbge");
      contatos.back().emplace();
      LerContatos(item, *contatos.back());
    }
  } catch (const std::exception&) {
    return std::current_exception();
  }
  return nullptr;
}

void Despejar(const TabelaFaturamento& linhas, const ContatosFaturamento& contatos) {
  for (std::size_t i = 0; i < linhas.size(); ++i) {
    const auto& l = linhas[i];
    GravarLog("");
    GravarLog("Id:                      " + l.IdFatura);
    GravarLog("Ano:                     " + l.Ano);
    GravarLog("Mês:                     " + l.Mes);
    GravarLog("Aliquota:                " + l.Aliquota);
    GravarLog("Cobrança:                " + l.ValorCobranca);
    GravarLog("Observação:              " + l.Observacao);
    GravarLog("Nome:                    " + l.Nome);
    GravarLog("CNPJ:                    " + l.Cnpj);
    GravarLog("IE:                      " + l.Ie);
    GravarLog("Endereço:                " + l.Endereco);
    GravarLog("Numero:                  " + l.Numero);
    GravarLog("Bairro:                  " + l.Bairro);
    GravarLog("Complemento:             " + l.Complemento);
    GravarLog("Cep:                     " + l.Cep);
    GravarLog("Cod. IBGE:               " + l.CodigoIbge);
    GravarLog("Contatos:");
    if (!contatos[i]) continue;
    for (const auto& slot : *contatos[i])
      if (!Trim(slot).empty()) GravarLog(slot);
  }
}

}  // namespace

std::exception_ptr LerRespostaFaturamento(const std::string& resposta, TabelaFaturamento& linhas,
                                          ContatosFaturamento& contatos) {
  DocumentoJson documento;
  const ValorJson& dados = LerEnvelope(resposta, documento);
  return LerItens(dados, linhas, contatos);
}

void BuscarFaturamento() {
  ContagemFluxo& contagem = ApuracaoAtual().Iniciar(FluxoApurado::Faturamento);
  if (!HaRequisicaoPendente()) {
    contagem.sem_trabalho = true;
    contagem.concluido = true;
    return;
  }
  if (EmDebug()) GravarLog("Recebendo os dados dos faturamentos.");

  PrepararEnvioJson(dm->IdHTTP, "GET");
  const auto mes = MesAnterior(DataDe(Agora()));
  const PeriodoReferencia periodo{static_cast<int>(mes.year()), static_cast<int>(static_cast<unsigned>(mes.month()))};
  const std::string url = EnderecoBase() + "/financeiro/cliente/faturamento?ano=" + std::to_string(periodo.ano) +
                          "&mes=" + std::to_string(periodo.mes) + "&token_erp=" + CodificarValor(TokenApi());
  const std::string resposta = BuscarJson(dm->IdHTTP, url);

  TabelaFaturamento linhas;
  ContatosFaturamento contatos;
  {
    const std::exception_ptr erro = LerRespostaFaturamento(resposta, linhas, contatos);
    if (EmDebug()) Despejar(linhas, contatos);
    // Nothing is written when the reply could not be read whole: the request
    // stays for a later run.
    if (erro) std::rethrow_exception(erro);
  }

  if (EmDebug()) GravarLog("Buscando Fatura nos lançamentos de Faturamento.");
  // An invoice number that cannot be stored ends the run before anything is
  // written, not after its client has been registered; it is read as the
  // already-imported check reads it.
  for (const auto& linha : linhas) NumeroFatura(linha);
  for (auto& linha : linhas) {
    PararSePedido();  // the request stays: the next start imports the rest
    ResolverCliente(linha);
    VerificarLancamento(linha);
  }
  GravarFaturamento(linhas, periodo);
  contagem.concluido = true;
}
