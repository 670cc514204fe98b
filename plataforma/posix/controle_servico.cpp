#include "plataforma/controle_servico.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "plataforma/laco.h"
#include "plataforma/registro_eventos.h"

// The service manager's requests arrive as signals: SIGTERM and SIGINT stop,
// SIGUSR1 pauses, SIGUSR2 continues, SIGHUP asks for the state again. They
// stay blocked in every thread and only the control thread takes them, with
// sigwait. A stop while systemd's manager is stopping the whole system is a
// shutdown. The state goes to systemd through sd_notify (a no-op without
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

struct FechaBarramento {
  void operator()(sd_bus* barramento) const { sd_bus_flush_close_unref(barramento); }
};
using Barramento = std::unique_ptr<sd_bus, FechaBarramento>;

// systemd's own socket for root, up until the very end; else the system bus.
Barramento AbrirGerente() {
  sd_bus* barramento = nullptr;
  if (::access("/run/systemd/private", F_OK) == 0 && sd_bus_new(&barramento) >= 0) {
    Barramento direto(barramento);
    if (sd_bus_set_address(barramento, "unix:path=/run/systemd/private") >= 0 && sd_bus_start(barramento) >= 0)
      return direto;
  }
  barramento = nullptr;
  if (sd_bus_open_system(&barramento) < 0) return nullptr;
  return Barramento(barramento);
}

// The manager's state is "stopping" while the system goes down; anything
// else, or no manager to ask, is a stop of this service alone.
bool SistemaDesligando() {
  const Barramento barramento = AbrirGerente();
  if (!barramento) return false;
  // A manager that does not answer must not hold the stop up.
  sd_bus_set_method_call_timeout(barramento.get(), 2'000'000);
  sd_bus_error erro = SD_BUS_ERROR_NULL;
  char* estado = nullptr;
  const int resultado = sd_bus_get_property_string(barramento.get(), "org.freedesktop.systemd1",
                                                   "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                                   "SystemState", &erro, &estado);
  const bool desligando = resultado >= 0 && estado && std::string_view(estado) == "stopping";
  std::free(estado);
  sd_bus_error_free(&erro);
  return desligando;
}

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
      case SIGINT: {
        // Reported at once; the process ends when the running timer handler returns.
        notificar("STOPPING=1\nSTATUS=Stopping");
        // A stop whose log line fails still stops: the request was made.
        if (sinal == SIGTERM && SistemaDesligando())
          Tratar(nome, "shutdown", tratadores.Desligar);
        else
          Tratar(nome, "stop", tratadores.Parar);
        return true;
      }
      case SIGUSR1:
        if (Tratar(nome, "pause", tratadores.Pausar)) estado = Estado::Pausado;
        notificar(TextoEstado(estado));
        break;
      case SIGUSR2:
        if (Tratar(nome, "continue", tratadores.Continuar)) estado = Estado::Executando;
        notificar(TextoEstado(estado));
        break;
      case SIGHUP:
        Tratar(nome, "interrogate", [&] {
          if (tratadores.Consultar) tratadores.Consultar(estado == Estado::Pausado);
        });
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

// The control signals stay blocked; this thread alone waits for TERM and INT.
// It is woken for its end by an INT sent to it alone.
struct EscutaParada::Impl {
  std::function<void()> pedido;
  std::atomic<bool> fim{false};
  std::thread escuta;
};

EscutaParada::EscutaParada(std::function<void()> pedido) : impl_(std::make_unique<Impl>()) {
  PrepararControleServico();
  impl_->pedido = std::move(pedido);
  impl_->escuta = std::thread([impl = impl_.get()] {
    sigset_t conjunto;
    sigemptyset(&conjunto);
    sigaddset(&conjunto, SIGTERM);
    sigaddset(&conjunto, SIGINT);
    int sinal = 0;
    if (::sigwait(&conjunto, &sinal) != 0 || impl->fim) return;
    if (impl->pedido) impl->pedido();
  });
}

EscutaParada::~EscutaParada() {
  impl_->fim = true;
  ::pthread_kill(impl_->escuta.native_handle(), SIGINT);
  impl_->escuta.join();
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
