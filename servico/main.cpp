// lumiford_financeiro: installs, removes or runs the financial integration
// service of one company.
#include "servico/uservico.h"

int main(int argc, char** argv) {
  // The web-service flows join the timers here as they are built.
  return ExecutarPrograma(argc, argv, [] {});
}
