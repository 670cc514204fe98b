#include "plataforma/controle_servico.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <cstring>
#include <thread>

#include "plataforma/laco.h"
#include "plataforma/registro_eventos.h"

// The service manager's requests arrive as signals: SIGTERM and SIGINT stop,
// SIGUSR1 pauses, SIGUSR2 continues, SIGHUP asks for the state again. They
// stay blocked in every thread and only the control thread takes them, with
// sigwait. The state goes to systemd through sd_notify (a no-op without
// NOTIFY_SOCKET); a report it refuses goes to the event log.

namespace {

sigset_t SinaisControle() {
  sigset_t conjunto;
  sigemptyset(&conjunto);
  for (int sinal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&conjunto, sinal);
  return conjunto;
}

// Status reports to systemd; a refused one is recorded, once per error in a row.
class Notificador {
 public:
  explicit Notificador(const std::string& nome) : nome_(nome) {}
  void operator()(const char* estado) {
    const int resultado = ::sd_notify(0, estado);
    if (resultado >= 0) {
      ultimo_erro_ = 0;
      return;
    }
    if (-resultado == ultimo_erro_) return;
    ultimo_erro_ = -resultado;
    RegistrarErroEvento(nome_, std::strerror(ultimo_erro_));
  }

 private:
  std::string nome_;
  int ultimo_erro_ = 0;
};

// Runs one handler; an error goes to the event log and is reported as false.
bool Tratar(const std::string& nome, const char* pedido, const std::function<void()>& tratador) {
  try {
    if (tratador) tratador();
    return true;
  } catch (const std::exception& erro) {
    RegistrarErroEvento(nome, std::string("Service failed on ") + pedido + ": " + erro.what());
  } catch (...) {
    RegistrarErroEvento(nome, std::string("Service failed on ") + pedido + ": Unknown exception");
  }
  return false;
}

enum class Estado { Executando, Pausado };

const char* TextoEstado(Estado estado) {
  return estado == Estado::Pausado ? "STATUS=Paused" : "STATUS=Running";
}

// The control thread. Returns whether the start succeeded.
bool Controlar(const std::string& nome, const TratadoresServico& tratadores) {
  Notificador notificar(nome);
  if (!Tratar(nome, "start", tratadores.Iniciar)) {
    notificar("STOPPING=1\nSTATUS=Start failed");
    return false;
  }
  Estado estado = Estado::Executando;
  notificar("READY=1\nSTATUS=Running");

  const sigset_t conjunto = SinaisControle();
  for (;;) {
    int sinal = 0;
    int erro = ::sigwait(&conjunto, &sinal);
    if (erro != 0) {
      RegistrarErroEvento(nome, std::string("Service failed on execute: ") + std::strerror(erro));
      notificar("STOPPING=1\nSTATUS=Stopping");
      return true;
    }
    switch (sinal) {
      case SIGTERM:
      case SIGINT:
        // Reported at once; the process ends when the running timer handler returns.
        notificar("STOPPING=1\nSTATUS=Stopping");
        // A stop whose log line fails still stops: the request was made.
        Tratar(nome, "stop", tratadores.Parar);
        return true;
      case SIGUSR1:
        if (Tratar(nome, "pause", tratadores.Pausar)) estado = Estado::Pausado;
        notificar(TextoEstado(estado));
        break;
      case SIGUSR2:
        if (Tratar(nome, "continue", tratadores.Continuar)) estado = Estado::Executando;
        notificar(TextoEstado(estado));
        break;
      case SIGHUP:
        notificar(TextoEstado(estado));
        break;
      default:
        break;
    }
  }
}

}  // namespace

void PrepararControleServico() {
  const sigset_t conjunto = SinaisControle();
  ::pthread_sigmask(SIG_BLOCK, &conjunto, nullptr);
}

bool ExecutarServico(const std::string& nome, const TratadoresServico& tratadores) {
  // Blocking here too keeps a caller that forgot PrepararControleServico from
  // dying on the first signal in this thread.
  PrepararControleServico();
  bool iniciou = false;
  std::thread controle([&] {
    iniciou = Controlar(nome, tratadores);
    EncerrarLaco();
  });
  ExecutarLaco();
  controle.join();
  return iniciou;
}
