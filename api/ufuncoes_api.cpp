#include "api/ufuncoes_api.h"

#include "dm/agendador.h"

TabelaRegistros Registros;

void RegistrarFluxos() {
  FluxosTimer() = {EnviarFaturasPagas, EnviarBoletos, EnviarNotasServico};
  FluxosRequisicao() = {BuscarFaturamento};
}
