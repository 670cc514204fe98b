// Local date and time, and the system's Brazilian formats for them. These are
// the system's own formats, never the host's locale.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

using DataHora = std::chrono::local_time<std::chrono::milliseconds>;
using Data = std::chrono::year_month_day;

// Current local date and time; tests replace the clock with DefinirRelogio.
DataHora Agora();
void DefinirRelogio(std::function<DataHora()> relogio);  // empty function: back to the real clock

Data DataDe(DataHora valor);
DataHora InicioDoDia(Data data);
// The calendar month before the date's: January gives December of the year before.
std::chrono::year_month MesAnterior(Data data);

std::string FormatarData(Data data);              // dd/mm/yyyy
std::string FormatarHora(DataHora valor);         // hh:nn:ss
std::string FormatarDataHora(DataHora valor);     // dd/mm/yyyy, plus " hh:nn:ss" when the time is not midnight
std::optional<Data> LerData(const std::string& texto);  // dd/mm/yyyy (d and m may have one digit)
