#include "plataforma/bibliotecas.h"

#include <dlfcn.h>
#include <firebird/Interface.h>

Firebird::IMaster* InterfaceMestreFirebird() { return Firebird::fb_get_master_interface(); }

void ManterMotorFirebirdCarregado(const std::string& diretorio_plugins) {
  const std::string motor = diretorio_plugins + "/libEngine12.so";
  // The handle is never closed, on purpose.
  ::dlopen(motor.c_str(), RTLD_NOW | RTLD_NODELETE);
}
