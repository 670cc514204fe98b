// The system event log: error entries that an operator finds outside Log.txt.
#pragma once

#include <string>

// Writes one error entry under the given event source (the executable's file
// name, or the service name for lifecycle errors), its text passed through
// MascararToken (global/funcoes.h) first. Never throws.
void RegistrarErroEvento(const std::string& origem, const std::string& texto);
