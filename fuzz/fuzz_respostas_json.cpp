// The web service's replies on any bytes: parsing and the accessor sequence
// of each of the four reply handlers, in the order the handlers read them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "global/funcoes.h"
#include "global/json.h"

namespace {

// Paid-invoice report: "error" must be there, then both lists of
// message/id_fatura pairs, every identifier to be marked read as an integer.
void Faturado(const std::string& resposta) {
  DocumentoJson documento;
  if (!LerDocumentoJson(resposta, documento)) return;
  try {
    LerTextoJson(documento, "error");
  } catch (const ErroJson&) {
    return;
  }
  for (const char* lista : {"messageSuccess", "messageError"}) {
    const ValorJson* elementos = nullptr;
    try {
      elementos = &LerListaJson(documento, lista);
    } catch (const ErroJson&) {
      continue;
    }
    if (!elementos->IsArray()) std::abort();
    for (const auto& elemento : elementos->GetArray()) {
      std::string mensagem, id;
      try {
        mensagem = LerTextoJson(elemento, "message");
        id = LerTextoJson(elemento, "id_fatura");
      } catch (const ErroJson&) {
      }
      try {
        (void)TextoParaInteiro(id);
      } catch (const std::exception&) {
      }
    }
  }
}

// Billing import: the first member is the flag, "data" the array of items,
// each with 15 text members and its contacts.
void Faturamento(const std::string& resposta) {
  DocumentoJson documento;
  if (Trim(resposta).empty()) return;
  if (!LerDocumentoJson(resposta, documento) || !documento.IsObject() || documento.MemberCount() == 0) return;
  const ValorJson& nome = documento.MemberBegin()->name;
  try {
    (void)LerLogicoJson(documento, std::string(nome.GetString(), nome.GetStringLength()));
    const ValorJson& dados = LerListaJson(documento, "data");
    for (const auto& item : dados.GetArray()) {
      for (const char* membro : {"id_fatura", "ano", "mes", "aliquota", "valorCobranca", "observacao", "nome", "cnpj",
                                 "ie", "endereco", "numero", "bairro", "complemento", "cep", "codigoIbge"}) {
        const std::string texto = LerTextoJson(item, membro);
        (void)FormatarCnpjCpf(SomenteNumeros(texto));
      }
      const ValorJson& contatos = LerListaJson(item, "contatos");
      for (const auto& contato : contatos.GetArray()) {
        try {
          (void)LerTextoJson(contato, "tipo");
          (void)LerTextoJson(contato, "contato");
        } catch (const ErroJson&) {
        }
      }
    }
  } catch (const ErroJson&) {
  }
}

// Boleto and service-invoice uploads: "sucess" as a boolean, then "message".
void Envio(const std::string& resposta) {
  DocumentoJson documento;
  if (!LerDocumentoJson(resposta, documento)) return;
  try {
    (void)LerLogicoJson(documento, "sucess");
    (void)LerTextoJson(documento, "message");
  } catch (const ErroJson&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
  const std::string resposta(reinterpret_cast<const char*>(dados), tamanho);
  Faturado(resposta);
  Faturamento(resposta);
  Envio(resposta);
  return 0;
}
