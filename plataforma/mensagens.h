// Results of installing and removing the service, for the operator who ran
// the program: message boxes on Windows (and the same text on the standard
// output or error, when there is one); the standard output and error on Linux.
#pragma once

#include <string>

void MostrarInformacao(const std::string& texto);
void MostrarErro(const std::string& texto);
// Something the operator must act on after an operation that succeeded; shown
// also when the success itself is not (SILENT). The standard error on Linux.
void MostrarAviso(const std::string& texto);
