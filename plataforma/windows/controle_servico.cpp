#include "plataforma/controle_servico.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "plataforma/gerenciador_servicos.h"
#include "plataforma/laco.h"
#include "plataforma/registro_eventos.h"
#include "plataforma/windows/texto.h"

// Three threads: the main thread runs the loop with the timers; a dispatcher
// thread sits in StartServiceCtrlDispatcherW; the service-control thread (the
// service's main function, started by the dispatcher) calls the lifecycle
// handlers and reports the states. The control callback runs on the
// dispatcher thread and only queues the request for the control thread.

namespace {

struct Servico {
  std::string nome;
  std::wstring nomeLargo;
  const TratadoresServico* tratadores = nullptr;
  SERVICE_STATUS_HANDLE status = nullptr;

  std::mutex mutexEstado;  // the reported state, from both threads
  DWORD estado = SERVICE_STOPPED;
  DWORD marco = 0;  // check point of the pending state
  DWORD codigoSaida = NO_ERROR;

  std::mutex mutex;
  std::condition_variable sinal;
  std::deque<DWORD> pedidos;
  bool lacoTerminou = false;
  std::atomic<bool> iniciou{false};
};

// Shared with the control thread, which may still be returning after it
// reported the stop and the dispatcher let the main thread go on.
std::shared_ptr<Servico> atual;
std::mutex mutexAtual;

std::shared_ptr<Servico> ServicoAtual() {
  std::lock_guard trava(mutexAtual);
  return atual;
}

bool Pendente(DWORD estado) {
  return estado == SERVICE_START_PENDING || estado == SERVICE_STOP_PENDING || estado == SERVICE_PAUSE_PENDING ||
         estado == SERVICE_CONTINUE_PENDING;
}

void Reportar(Servico& s, DWORD estado) {
  std::lock_guard trava(s.mutexEstado);
  s.marco = Pendente(estado) ? s.marco + 1 : 0;
  s.estado = estado;
  SERVICE_STATUS st{};
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = estado;
  st.dwControlsAccepted =
      estado == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  st.dwWin32ExitCode = s.codigoSaida;
  st.dwServiceSpecificExitCode = s.codigoSaida == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0;
  st.dwCheckPoint = s.marco;
  st.dwWaitHint = 5000;
  if (!::SetServiceStatus(s.status, &st)) RegistrarErroEvento(s.nome, ErroSistema(static_cast<int>(::GetLastError())).what());
}

DWORD EstadoAtual(Servico& s) {
  std::lock_guard trava(s.mutexEstado);
  return s.estado;
}

// Runs one handler; an error goes to the event log and is reported as false.
bool Tratar(const Servico& s, const char* pedido, const std::function<void()>& tratador) {
  try {
    if (tratador) tratador();
    return true;
  } catch (const std::exception& erro) {
    RegistrarErroEvento(s.nome, std::string("Service failed on ") + pedido + ": " + erro.what());
  } catch (...) {
    RegistrarErroEvento(s.nome, std::string("Service failed on ") + pedido + ": Unknown exception");
  }
  return false;
}

DWORD WINAPI Controle(DWORD pedido, DWORD, LPVOID, LPVOID) {
  const auto servico = ServicoAtual();
  if (!servico) return ERROR_SERVICE_NOT_ACTIVE;
  Servico& s = *servico;
  switch (pedido) {
    case SERVICE_CONTROL_STOP:
      Reportar(s, SERVICE_STOP_PENDING);  // at once; the handler follows on the control thread
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  {
    std::lock_guard trava(s.mutex);
    s.pedidos.push_back(pedido);
  }
  s.sinal.notify_all();
  return NO_ERROR;
}

DWORD ProximoPedido(Servico& s) {
  std::unique_lock trava(s.mutex);
  s.sinal.wait(trava, [&] { return !s.pedidos.empty(); });
  const DWORD pedido = s.pedidos.front();
  s.pedidos.pop_front();
  return pedido;
}

// Ends the main loop after its running handler, reporting stop pending with
// rising check points meanwhile, then stopped.
void Terminar(Servico& s) {
  EncerrarLaco();
  std::unique_lock trava(s.mutex);
  while (!s.sinal.wait_for(trava, std::chrono::milliseconds(1000), [&] { return s.lacoTerminou; })) {
    trava.unlock();
    Reportar(s, SERVICE_STOP_PENDING);
    trava.lock();
  }
  trava.unlock();
  Reportar(s, SERVICE_STOPPED);
}

// The service-control thread.
void WINAPI PrincipalServico(DWORD, LPWSTR*) {
  const auto servico = ServicoAtual();
  if (!servico) return;
  Servico& s = *servico;
  s.status = ::RegisterServiceCtrlHandlerExW(s.nomeLargo.c_str(), Controle, nullptr);
  if (s.status == nullptr) {
    RegistrarErroEvento(s.nome, ErroSistema(static_cast<int>(::GetLastError())).what());
    EncerrarLaco();
    return;
  }
  Reportar(s, SERVICE_START_PENDING);
  if (!Tratar(s, "start", s.tratadores->Iniciar)) {
    s.codigoSaida = ERROR_SERVICE_SPECIFIC_ERROR;
    Terminar(s);
    return;
  }
  s.iniciou = true;
  Reportar(s, SERVICE_RUNNING);
  for (;;) {
    const DWORD pedido = ProximoPedido(s);
    const DWORD anterior = EstadoAtual(s);
    switch (pedido) {
      case SERVICE_CONTROL_STOP:
        // A stop whose log line fails still stops: the request was made.
        Tratar(s, "stop", s.tratadores->Parar);
        Terminar(s);
        return;
      case SERVICE_CONTROL_SHUTDOWN:
        Reportar(s, SERVICE_STOP_PENDING);
        Tratar(s, "shutdown", s.tratadores->Desligar);
        Terminar(s);
        return;
      case SERVICE_CONTROL_PAUSE:
        Reportar(s, SERVICE_PAUSE_PENDING);
        Reportar(s, Tratar(s, "pause", s.tratadores->Pausar) ? SERVICE_PAUSED : anterior);
        break;
      case SERVICE_CONTROL_CONTINUE:
        Reportar(s, SERVICE_CONTINUE_PENDING);
        Reportar(s, Tratar(s, "continue", s.tratadores->Continuar) ? SERVICE_RUNNING : anterior);
        break;
      default:  // interrogate
        Reportar(s, anterior);
        break;
    }
  }
}

}  // namespace

void PrepararControleServico() {}

// A run in the foreground: Ctrl+C, Ctrl+Break and the closing of the console
// ask for the stop, once; the process is not ended by them.
namespace {
std::mutex mutexEscuta;
std::function<void()> pedidoEscuta;

BOOL WINAPI AoControleDoConsole(DWORD) {
  std::function<void()> pedido;
  {
    std::lock_guard trava(mutexEscuta);
    pedido = std::exchange(pedidoEscuta, {});
  }
  if (pedido) pedido();
  return TRUE;
}
}  // namespace

struct EscutaParada::Impl {};

EscutaParada::EscutaParada(std::function<void()> pedido) : impl_(std::make_unique<Impl>()) {
  {
    std::lock_guard trava(mutexEscuta);
    pedidoEscuta = std::move(pedido);
  }
  ::SetConsoleCtrlHandler(AoControleDoConsole, TRUE);
}

EscutaParada::~EscutaParada() {
  ::SetConsoleCtrlHandler(AoControleDoConsole, FALSE);
  std::lock_guard trava(mutexEscuta);
  pedidoEscuta = {};
}

bool ExecutarServico(const std::string& nome, const TratadoresServico& tratadores) {
  const auto servico = std::make_shared<Servico>();
  Servico& s = *servico;
  s.nome = nome;
  s.nomeLargo = lumiford::windows::Largo(nome);
  s.tratadores = &tratadores;
  {
    std::lock_guard trava(mutexAtual);
    atual = servico;
  }
  std::thread despachante([&s] {
    SERVICE_TABLE_ENTRYW tabela[] = {{s.nomeLargo.data(), PrincipalServico}, {nullptr, nullptr}};
    // Returns once the service has stopped; at once when the process was not
    // started by the service manager (started by hand).
    if (!::StartServiceCtrlDispatcherW(tabela))
      RegistrarErroDoLaco(std::make_exception_ptr(ErroSistema(static_cast<int>(::GetLastError()))));
    EncerrarLaco();
  });
  ExecutarLaco();
  {
    std::lock_guard trava(s.mutex);
    s.lacoTerminou = true;
  }
  s.sinal.notify_all();
  despachante.join();
  {
    std::lock_guard trava(mutexAtual);
    atual.reset();
  }
  return s.iniciou;
}
