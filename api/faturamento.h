// The billing import's tables and stages, shared by its three files.
#pragma once

#include <array>
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

// Ties the row to a person of the ERP, registering a new client when needed.
void ResolverCliente(LinhaFaturamento& linha);

// Sets Lancamento when the invoice was imported before.
void VerificarLancamento(LinhaFaturamento& linha);

// Writes the items of the invoices not imported yet and removes the request.
void GravarFaturamento(TabelaFaturamento& linhas, const PeriodoReferencia& periodo);
