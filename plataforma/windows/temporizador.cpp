#include "plataforma/temporizador.h"

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <stdexcept>

#include "plataforma/laco.h"

// Message-loop timers on one message-only window of the thread that armed
// the first timer (the main thread). Every arming takes a new timer id, so
// a WM_TIMER already queued for an earlier arming finds no owner and is
// dropped. Intervals past the system's limit (about 24.8 days) are waited
// out in pieces.

namespace {

struct Armacao {
  UINT_PTR id = 0;
  std::uint32_t restante = 0;  // still to wait after the piece running now
  std::function<void()> disparar;
};

UINT_PTR proximoId = 1;
std::map<UINT_PTR, Armacao*> armados;

LRESULT CALLBACK ProcedimentoJanela(HWND, UINT, WPARAM, LPARAM);

HWND Janela() {
  static const HWND janela = [] {
    WNDCLASSEXW classe{};
    classe.cbSize = sizeof classe;
    classe.lpfnWndProc = ProcedimentoJanela;
    classe.hInstance = ::GetModuleHandleW(nullptr);
    classe.lpszClassName = L"LumifordTemporizadores";
    ::RegisterClassExW(&classe);
    return ::CreateWindowExW(0, classe.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             classe.hInstance, nullptr);
  }();
  return janela;
}

// Arms one piece of the wait under a new id.
void Armar(Armacao& estado, std::uint32_t ms) {
  const std::uint32_t peca = ms > USER_TIMER_MAXIMUM ? USER_TIMER_MAXIMUM : ms;
  estado.restante = ms - peca;
  estado.id = proximoId++;
  if (::SetTimer(Janela(), estado.id, peca, nullptr) == 0) {
    estado.id = 0;
    throw std::runtime_error("Not enough timers available");
  }
  armados[estado.id] = &estado;
}

void Desarmar(Armacao& estado) {
  if (estado.id == 0) return;
  ::KillTimer(Janela(), estado.id);
  armados.erase(estado.id);
  estado.id = 0;
}

LRESULT CALLBACK ProcedimentoJanela(HWND janela, UINT mensagem, WPARAM wparam, LPARAM lparam) {
  if (mensagem != WM_TIMER) return ::DefWindowProcW(janela, mensagem, wparam, lparam);
  const auto achado = armados.find(static_cast<UINT_PTR>(wparam));
  if (achado == armados.end()) return 0;
  Armacao& estado = *achado->second;
  // An error may not leave a window procedure: it goes where the loop's go.
  try {
    if (estado.restante > 0) {
      const std::uint32_t resto = estado.restante;
      Desarmar(estado);
      Armar(estado, resto);
      return 0;
    }
    auto disparar = estado.disparar;  // the handler may destroy the timer
    disparar();
  } catch (...) {
    RegistrarErroDoLaco(std::current_exception());
  }
  return 0;
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

void Temporizador::SetInterval(std::uint32_t ms) {
  if (ms == intervalo_) return;
  intervalo_ = ms;
  Reiniciar();
}

void Temporizador::SetEnabled(bool habilitado) {
  if (habilitado == habilitado_) return;
  habilitado_ = habilitado;
  Reiniciar();
}

std::uint32_t Temporizador::Interval() const { return intervalo_; }
bool Temporizador::Enabled() const { return habilitado_; }

void Temporizador::Reiniciar() {
  Desarmar(estado_->armacao);
  if (!habilitado_ || intervalo_ == 0) return;
  Armar(estado_->armacao, intervalo_);
}
