// The four web-service flows run by the timers, and the row table that the
// three outgoing flows fill and walk.
#pragma once

#include <string>
#include <vector>

// Rows of text cells: paid invoices (3 cells), boletos (12), service invoices (6).
using TabelaRegistros = std::vector<std::vector<std::string>>;
extern TabelaRegistros Registros;

void EnviarFaturasPagas();
void TransmitirFaturasPagas();
void EnviarBoletos();
void EnviarNotasServico();
void BuscarFaturamento();

// Registers the flows with the timers, in their order.
void RegistrarFluxos();
