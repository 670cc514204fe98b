#include "global/parada.h"

#include <atomic>

namespace {
std::atomic<bool> parada_pedida{false};
}  // namespace

void PedirParada() noexcept { parada_pedida = true; }
bool ParadaPedida() noexcept { return parada_pedida; }
void EsquecerParada() noexcept { parada_pedida = false; }

void PararSePedido() {
  if (parada_pedida) throw ParadaSolicitada();
}
