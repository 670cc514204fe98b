#include "plataforma/laco.h"

#include <memory>
#include <string>

#include <atomic>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "plataforma/executavel.h"
#include "plataforma/registro_eventos.h"

namespace {

// Set by a quit request, so that one made before the loop runs is not lost.
std::atomic<bool> pedidoEncerrar{false};

}  // namespace

// The main thread's io_context (the timers of temporizador.cpp wait on it).
// It lives for the whole process (timers of global objects may still refer to
// it while statics are destroyed).
boost::asio::io_context& ContextoPrincipal() {
  // Deliberately never destroyed: a Temporizador owned by a global may be
  // destroyed after function-local statics are gone.
  static auto& contexto = *std::make_unique<boost::asio::io_context>(1).release();
  return contexto;
}

void ExecutarLaco() {
  auto& contexto = ContextoPrincipal();
  contexto.restart();
  if (pedidoEncerrar.exchange(false)) return;
  // Without pending timers the loop still waits for the quit request.
  auto trabalho = boost::asio::make_work_guard(contexto);
  for (;;) {
    try {
      contexto.run();
      pedidoEncerrar = false;
      return;
    } catch (...) {
      RegistrarErroDoLaco(std::current_exception());
    }
  }
}

void RegistrarErroDoLaco(const std::exception_ptr& erro) noexcept {
  try {
    std::rethrow_exception(erro);
  } catch (const AbortoSilencioso&) {
  } catch (const std::exception& e) {
    RegistrarErroEvento(NomeArquivoExecutavel(), e.what());
  } catch (...) {
    RegistrarErroEvento(NomeArquivoExecutavel(), "Unknown exception");
  }
}

// Stopping (rather than queueing a quit behind them) keeps timers that fell
// due during the running handler from running after a stop.
void EncerrarLaco() {
  pedidoEncerrar = true;
  ContextoPrincipal().stop();
}
