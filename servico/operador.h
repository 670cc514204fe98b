// The operator's switches beside the service's own: run the flows once in
// the foreground, check an installation, and the help text.
#pragma once

#include <string>

// Runs Timer's flows and then Timer_Requisicao's, once each, and prints one
// line per flow with what it did. Returns 0 when no flow met an error, 1
// when one logged an error or an error left it (that one on standard error).
// erro_inicio: why the data module could not be created, if it could not.
int ExecutarUmaVez(const std::string& erro_inicio = {});

// Settings (and the mistakes that look like typing errors in them), both
// connections, the company record and whether the web service's host
// answers; one labelled line each on standard output. Returns 0 when
// everything the service needs is there, 1 otherwise.
int VerificarInstalacao(const std::string& erro_inicio = {});

// The switches and what they do.
void MostrarAjuda();
