// A timer delivered on the main loop, the way a message-loop timer works:
// it fires when it has been enabled for the length of its interval, runs
// OnTimer on the main thread, and fires again after every interval while it
// stays enabled. Changing the interval or the flag restarts the count; an
// interval of 0 never fires.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class Temporizador {
 public:
  Temporizador();
  ~Temporizador();
  Temporizador(const Temporizador&) = delete;
  Temporizador& operator=(const Temporizador&) = delete;

  std::function<void()> OnTimer;

  void SetInterval(std::uint32_t ms) {
    if (ms == intervalo_) return;
    intervalo_ = ms;
    Reiniciar();
  }
  void SetEnabled(bool habilitado) {
    if (habilitado == habilitado_) return;
    habilitado_ = habilitado;
    Reiniciar();
  }
  std::uint32_t Interval() const { return intervalo_; }
  bool Enabled() const { return habilitado_; }

 private:
  struct Estado;
  void Reiniciar();
  std::shared_ptr<Estado> estado_;
  std::uint32_t intervalo_ = 1000;
  bool habilitado_ = false;
};
