// Log.txt beside the executable: the operator's view of what the service does.
#pragma once

#include <exception>
#include <string>

// Adds one line for the message; throws when the file cannot be written.
void GravarLog(const std::string& mensagem);

// A fixed error line ("Erro Desconhecido.", "Erro ao ler a resposta da
// API."), then the error's own text on the next line, "Motivo: " and the
// text on one line, whatever the debug setting: the operator reads the
// cause (a refused connection, a lock conflict) in the log itself.
void GravarLogComMotivo(const std::string& linha_fixa, const std::exception& motivo);
