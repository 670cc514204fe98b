#include "plataforma/laco.h"

#include <filesystem>
#include <memory>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "plataforma/executavel.h"
#include "plataforma/registro_eventos.h"

namespace {

std::string OrigemEventos() {
  try {
    return std::filesystem::path(CaminhoExecutavel()).filename().string();
  } catch (...) {
    return "lumiford_financeiro";
  }
}

}  // namespace

boost::asio::io_context& ContextoPrincipal() {
  // Deliberately never destroyed: a Temporizador owned by a global may be
  // destroyed after function-local statics are gone.
  static auto& contexto = *std::make_unique<boost::asio::io_context>(1).release();
  return contexto;
}

void ExecutarLaco() {
  auto& contexto = ContextoPrincipal();
  contexto.restart();
  // Without pending timers the loop still waits for the quit request.
  auto trabalho = boost::asio::make_work_guard(contexto);
  for (;;) {
    try {
      contexto.run();
      return;
    } catch (const AbortoSilencioso&) {
    } catch (const std::exception& erro) {
      RegistrarErroEvento(OrigemEventos(), erro.what());
    } catch (...) {
      RegistrarErroEvento(OrigemEventos(), "Unknown exception");
    }
  }
}

void EncerrarLaco() {
  auto& contexto = ContextoPrincipal();
  boost::asio::post(contexto, [&contexto] { contexto.stop(); });
}
