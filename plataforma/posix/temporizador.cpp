#include "plataforma/temporizador.h"

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "plataforma/laco.h"

// The main loop's io_context (laco.cpp).
boost::asio::io_context& ContextoPrincipal();

// The Asio timer and a generation count live apart from the object: a wait
// that completes after the count was restarted (or after the object is gone)
// sees a stale generation and does nothing.
struct Temporizador::Estado {
  explicit Estado(boost::asio::io_context& contexto) : timer(contexto) {}
  boost::asio::steady_timer timer;
  std::uint64_t geracao = 0;
  Temporizador* dono = nullptr;
};

Temporizador::Temporizador()
    : estado_(std::make_shared<Estado>(ContextoPrincipal())) {
  estado_->dono = this;
}

Temporizador::~Temporizador() {
  ++estado_->geracao;
  estado_->dono = nullptr;
  estado_->timer.cancel();
}

void Temporizador::Reiniciar() {
  auto geracao = ++estado_->geracao;
  estado_->timer.cancel();
  if (!habilitado_ || intervalo_ == 0) return;
  estado_->timer.expires_after(std::chrono::milliseconds(intervalo_));
  estado_->timer.async_wait([estado = estado_, geracao](const boost::system::error_code& erro) {
    if (erro || estado->geracao != geracao || estado->dono == nullptr) return;
    Temporizador& self = *estado->dono;
    // Re-armed before the handler so that a handler which changes nothing
    // keeps the timer periodic; a handler that disables or re-times it
    // restarts the count itself. An error escaping OnTimer reaches the loop.
    self.Reiniciar();
    auto tratador = self.OnTimer;  // the handler may replace OnTimer
    if (tratador) tratador();
  });
}
