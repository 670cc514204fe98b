#include "plataforma/temporizador.h"

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <stdexcept>

#include "plataforma/laco.h"

// Message-loop timers of the thread that arms them (the main thread): thread
// timers, which need no window (a service has no desktop to make one on).
// The loop's DispatchMessageW calls ProcedimentoTimer for each WM_TIMER.
// Intervals past the system's limit (about 24.8 days) are waited out in
// pieces.

namespace {

struct Armacao {
  UINT_PTR id = 0;
  std::uint32_t restante = 0;  // still to wait after the piece running now
  std::function<void()> disparar;
};

// Ids of the armed timers; a tick whose id is no longer here is dropped.
std::map<UINT_PTR, Armacao*> armados;

VOID CALLBACK ProcedimentoTimer(HWND, UINT, UINT_PTR, DWORD);

// Arms one piece of the wait.
void Armar(Armacao& estado, std::uint32_t ms) {
  const std::uint32_t peca = ms > USER_TIMER_MAXIMUM ? USER_TIMER_MAXIMUM : ms;
  const UINT_PTR id = ::SetTimer(nullptr, 0, peca, ProcedimentoTimer);
  if (id == 0) throw std::runtime_error("Not enough timers available");
  estado.id = id;
  estado.restante = ms - peca;
  armados[id] = &estado;
}

void Desarmar(Armacao& estado) {
  if (estado.id == 0) return;
  ::KillTimer(nullptr, estado.id);
  armados.erase(estado.id);
  estado.id = 0;
}

VOID CALLBACK ProcedimentoTimer(HWND, UINT, UINT_PTR id, DWORD) {
  const auto achado = armados.find(id);
  if (achado == armados.end()) return;
  Armacao& estado = *achado->second;
  // An error may not leave a callback of the system: it goes where the
  // loop's errors go.
  try {
    if (estado.restante > 0) {
      const std::uint32_t resto = estado.restante;
      Desarmar(estado);
      Armar(estado, resto);
      return;
    }
    auto disparar = estado.disparar;  // the handler may destroy the timer
    disparar();
  } catch (...) {
    RegistrarErroDoLaco(std::current_exception());
  }
}

}  // namespace

struct Temporizador::Estado {
  Armacao armacao;
};

Temporizador::Temporizador() : estado_(std::make_shared<Estado>()) {
  // Re-armed before the handler, so that a handler which changes nothing
  // keeps the timer periodic; one that disables or re-times it restarts the
  // count itself.
  estado_->armacao.disparar = [this] {
    Reiniciar();
    auto tratador = OnTimer;  // the handler may replace OnTimer
    if (tratador) tratador();
  };
}

Temporizador::~Temporizador() { Desarmar(estado_->armacao); }

void Temporizador::Reiniciar() {
  Desarmar(estado_->armacao);
  if (!habilitado_ || intervalo_ == 0) return;
  Armar(estado_->armacao, intervalo_);
}
