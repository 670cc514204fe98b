// Running as a service: a control thread receives the service manager's
// requests and calls the lifecycle handlers, while the calling (main) thread
// runs the main loop with the timers.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct TratadoresServico {
  std::function<void()> Iniciar;    // start
  std::function<void()> Parar;      // stop
  std::function<void()> Pausar;     // pause
  std::function<void()> Continuar;  // continue
  std::function<void()> Desligar;   // system shutdown
  // The state asked for again (HUP on Linux), with whether the service is paused.
  std::function<void(bool pausado)> Consultar;
};

// Must run on the main thread before any other thread exists: the control
// requests are then delivered to the control thread only.
void PrepararControleServico();

// Outside service mode (a run in the foreground): while it lives, an
// operator's stop request (TERM or INT here) calls `pedido` once, on a thread
// of its own.
class EscutaParada {
 public:
  explicit EscutaParada(std::function<void()> pedido);
  ~EscutaParada();
  EscutaParada(const EscutaParada&) = delete;
  EscutaParada& operator=(const EscutaParada&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs the service named `nome` until it is stopped: the control thread
// calls Iniciar, then waits for requests; the main loop runs on the calling
// thread and ends, after its running handler, once a stop has been handled.
// An error in a handler is written to the event log under the service name
// as "Service failed on <request>: <text>". Returns false when the start
// failed (the service then stopped at once), true after a normal stop.
bool ExecutarServico(const std::string& nome, const TratadoresServico& tratadores);
