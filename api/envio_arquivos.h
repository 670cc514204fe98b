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

struct EnvioArquivo {
  std::string url;
  std::string caminho;
};

// For each row: compose its address and file; post the file when it is there;
// mark the row when the web service takes it.
void EnviarArquivosRegistros(
    const std::function<EnvioArquivo(const std::vector<std::string>& linha)>& preparar,
    const std::function<void(const std::vector<std::string>& linha)>& marcar);
