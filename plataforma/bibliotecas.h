// Libraries the process keeps loaded until it ends.
#pragma once

#include <string>

// The embedded Firebird engine keeps thread-local data in its threads;
// unloading it while the process ends leaves that data pointing into
// unmapped memory. Keeps the engine of the given plugin folder loaded for
// the life of the process. Failures are ignored (a client-only install has
// no engine).
void ManterMotorFirebirdCarregado(const std::string& diretorio_plugins);
