// The service's own program entry with flows of the tests: a Timer flow that
// logs its start and end and lasts LUMIFORD_TESTE_FLUXO_MS milliseconds, and
// a Timer_Requisicao flow that logs one line and then, with LUMIFORD_TESTE_ERRO,
// fails with that text.
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "dm/agendador.h"
#include "global/log.h"
#include "servico/uservico.h"

namespace {

void RegistrarFluxosTeste() {
  FluxosTimer().push_back([] {
    GravarLog("Fluxo de teste Timer: inicio");
    if (const char* ms = std::getenv("LUMIFORD_TESTE_FLUXO_MS"))
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms)));
    GravarLog("Fluxo de teste Timer: fim");
  });
  FluxosRequisicao().push_back([] {
    GravarLog("Fluxo de teste Requisicao");
    if (const char* erro = std::getenv("LUMIFORD_TESTE_ERRO")) throw std::runtime_error(erro);
  });
}

}  // namespace

int main(int argc, char** argv) { return ExecutarPrograma(argc, argv, RegistrarFluxosTeste); }
