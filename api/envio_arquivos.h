// What the boleto and the service-invoice uploads share: the issue-date
// window and the loop that posts one file per row of Registros.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "global/datas.h"

// From the first day of the previous month to the last day of the current
// one, both taken from today's local date.
std::pair<Data, Data> JanelaEmissao();

class Consulta;
struct ContagemFluxo;

// Runs the flow's selection on FBqraux1 for the company and the window, and
// empties Registros for its rows.
Consulta& AbrirSelecaoDaJanela(const char* sql);

// Debug lines of a kept row: each label followed by its cell.
void LogarLinhaSelecionada(const char* const rotulos[], const std::vector<std::string>& linha);

struct EnvioArquivo {
  std::string url;
  std::string caminho;
};

// For each row: compose its address and file; post the file when it is there;
// mark the row when the web service takes it. A stop asked for ends the loop
// before the next row (ParadaSolicitada).
// Every row is counted: sent, file not found, or kept back by an error.
void EnviarArquivosRegistros(
    const std::function<EnvioArquivo(const std::vector<std::string>& linha)>& preparar,
    const std::function<void(const std::vector<std::string>& linha)>& marcar, ContagemFluxo& contagem);
