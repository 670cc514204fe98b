// lumiford_financeiro: installs, removes or runs the financial integration
// service of one company.
#include "api/ufuncoes_api.h"
#include "servico/uservico.h"

int main(int argc, char** argv) { return ExecutarPrograma(argc, argv, RegistrarFluxos); }
