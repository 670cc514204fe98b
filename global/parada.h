// A stop asked for while the flows run: by the service manager, or by TERM or
// INT during a run in the foreground. The flows take no new row once it is
// asked for: the row in hand is finished (each is committed by itself), and
// what is left is selected again at the next start.
#pragma once

#include "plataforma/laco.h"

// Safe from any thread.
void PedirParada() noexcept;
bool ParadaPedida() noexcept;
void EsquecerParada() noexcept;  // tests start from a clean process state

// What ends a flow at a row boundary once a stop was asked for. The main loop
// records nothing for it: it is no failure of the flow.
class ParadaSolicitada : public AbortoSilencioso {
 public:
  const char* what() const noexcept override { return "Execução interrompida por um pedido de parada."; }
};

// At a row boundary: throws ParadaSolicitada when a stop was asked for.
void PararSePedido();
