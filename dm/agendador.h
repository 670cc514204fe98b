// The two timers of the data module and what they run. Timer runs the
// outgoing flows every INTERVALO_REC_FINANCEIRO minutes, Timer_Requisicao the
// billing import every five minutes; the interval is a pause between the end
// of one run and the start of the next.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

class Tdm;

using Fluxo = std::function<void()>;

// Flows of Timer, in the order they run (paid invoices, boletos, service
// invoices). The flows' module fills it before the main loop starts.
std::vector<Fluxo>& FluxosTimer();
// Flows of Timer_Requisicao (the billing import).
std::vector<Fluxo>& FluxosRequisicao();

// Period of Timer_Requisicao.
inline constexpr std::uint32_t IntervaloRequisicaoMs = 300000;

// Minutes × 60 × 1000 rounded to the nearest whole number, a half going to
// the even neighbour; the low 32 bits of the result. A value that has no
// whole number (not finite, or beyond 64 bits) gives 0: the timer never fires.
std::uint32_t IntervaloEmMilissegundos(double minutos);

// Binds the handlers of both timers of the module.
void LigarTemporizadores(Tdm& modulo);

// A database that is not there at start does not leave a dead service: when
// the connections failed, try again every 60 seconds (LUMIFORD_RECONEXAO_MS
// in milliseconds overrides it), log a failure again only when its text
// changes, and once both connect open the company record and arm the timers.
// Call it on the main thread before the main loop runs.
void IniciarReconexao();
std::uint32_t IntervaloReconexaoMs();
