// Libraries a process keeps loaded until it ends.
#pragma once

#include <string>

namespace Firebird {
class IMaster;
}

// The Firebird client's master interface, the entry to all database access.
// Linux links the client library; Windows loads fbclient.dll at the first
// call, from beside the executable first, then the system folders and the
// folders of PATH (never the working directory). Throws std::runtime_error
// naming the library when it cannot be loaded; a later call tries again.
Firebird::IMaster* InterfaceMestreFirebird();

// Keeps the embedded Firebird engine of the given plugin folder mapped for
// the life of the process, for the leak checker of the sanitizer builds: the
// engine keeps allocations for its whole life, and once the client library
// has unloaded it at exit their stacks no longer name it. Only for processes
// that never go a minute without a connection and then need a new one (test
// programs): the client unloads an engine unused for a minute, and one kept
// mapped after that never starts again. Failures are ignored (a client-only
// install has no engine).
void ManterMotorFirebirdCarregado(const std::string& diretorio_plugins);
