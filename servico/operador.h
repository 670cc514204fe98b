// The operator's switches beside the service's own: run the flows once in
// the foreground, check an installation, and the help text.
#pragma once

// Runs Timer's flows and then Timer_Requisicao's, once each. Returns 0 when
// no error left a flow, 1 otherwise (each error on standard error).
int ExecutarUmaVez();

// Settings, both connections, the company record and whether the web
// service's host answers; one labelled line each on standard output.
// Returns 0 when everything the service needs is there, 1 otherwise.
int VerificarInstalacao();

// The switches and what they do.
void MostrarAjuda();
