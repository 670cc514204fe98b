// The billing import's tables and stages, shared by its three files.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

// One billing item of the web service; every column is text.
struct LinhaFaturamento {
  std::string Cliente;     // person code; empty or "0": no usable client
  std::string Lancamento;  // NUMERO of the contract billing that has this invoice; empty: not imported yet
  std::string IdFatura, Ano, Mes, Aliquota, ValorCobranca, Observacao, Nome, Cnpj, Ie, Endereco, Numero, Bairro,
      Complemento, Cep, CodigoIbge;
};

// Up to ten contacts: type, then the contact itself, in neighbouring slots.
using ContatosLinha = std::array<std::string, 20>;

using TabelaFaturamento = std::vector<LinhaFaturamento>;

struct PeriodoReferencia {
  int ano = 0;
  int mes = 0;
};

using ContatosFaturamento = std::vector<std::optional<ContatosLinha>>;

// Reads the reply: the envelope (its errors are thrown), then every billing
// item into its row and contacts. An error among the items is returned, with
// the rows read before it kept for the debug dump.
std::exception_ptr LerRespostaFaturamento(const std::string& resposta, TabelaFaturamento& linhas,
                                          ContatosFaturamento& contatos);

// Ties the row to a person of the ERP, registering a new client when needed.
void ResolverCliente(LinhaFaturamento& linha);

// The invoice number as the import reads it: the decimal value of "0"
// followed by IdFatura (an empty one reads as 0), in 32 bits; throws with
// "'%s' is not a valid integer value" for that text.
std::int32_t NumeroFatura(const LinhaFaturamento& linha);

// Sets Lancamento when the invoice was imported before.
void VerificarLancamento(LinhaFaturamento& linha);

// Writes the items of the invoices not imported yet and removes the request.
void GravarFaturamento(TabelaFaturamento& linhas, const PeriodoReferencia& periodo);
