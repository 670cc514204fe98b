// Sends one request to a service through the service manager and waits, for
// a bounded time, until the service is in no pending state: what an
// operator's tool does (Wine's sc and net know only start and stop). Prints
// the state reached, the accepted controls, the exit code and the wait hint.
//   controlar_servico <service> start|pause|continue|stop|query
// Exit code 0 when the expected state was reached, 1 otherwise.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <thread>

namespace {

const wchar_t* NomeEstado(DWORD estado) {
  switch (estado) {
    case SERVICE_STOPPED: return L"STOPPED";
    case SERVICE_START_PENDING: return L"START_PENDING";
    case SERVICE_STOP_PENDING: return L"STOP_PENDING";
    case SERVICE_RUNNING: return L"RUNNING";
    case SERVICE_CONTINUE_PENDING: return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return L"PAUSE_PENDING";
    case SERVICE_PAUSED: return L"PAUSED";
    default: return L"?";
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fwprintf(stderr, L"uso: controlar_servico <serviço> start|pause|continue|stop|query\n");
    return 2;
  }
  const std::wstring pedido = argv[2];
  SC_HANDLE gerenciador = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!gerenciador) {
    std::fwprintf(stderr, L"OpenSCManagerW: %lu\n", ::GetLastError());
    return 1;
  }
  SC_HANDLE servico = ::OpenServiceW(gerenciador, argv[1], SERVICE_ALL_ACCESS);
  if (!servico) {
    std::fwprintf(stderr, L"OpenServiceW: %lu\n", ::GetLastError());
    return 1;
  }
  SERVICE_STATUS status{};
  DWORD esperado = 0;
  BOOL ok = TRUE;
  if (pedido == L"start") {
    ok = ::StartServiceW(servico, 0, nullptr);
    esperado = SERVICE_RUNNING;
  } else if (pedido == L"pause") {
    ok = ::ControlService(servico, SERVICE_CONTROL_PAUSE, &status);
    esperado = SERVICE_PAUSED;
  } else if (pedido == L"continue") {
    ok = ::ControlService(servico, SERVICE_CONTROL_CONTINUE, &status);
    esperado = SERVICE_RUNNING;
  } else if (pedido == L"stop") {
    ok = ::ControlService(servico, SERVICE_CONTROL_STOP, &status);
    esperado = SERVICE_STOPPED;
  } else if (pedido != L"query") {
    std::fwprintf(stderr, L"pedido desconhecido: %ls\n", pedido.c_str());
    return 2;
  }
  if (!ok) {
    std::fwprintf(stderr, L"%ls: %lu\n", pedido.c_str(), ::GetLastError());
    return 1;
  }
  const auto prazo = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (!::QueryServiceStatus(servico, &status)) {
      std::fwprintf(stderr, L"QueryServiceStatus: %lu\n", ::GetLastError());
      return 1;
    }
    const DWORD s = status.dwCurrentState;
    const bool pendente = s == SERVICE_START_PENDING || s == SERVICE_STOP_PENDING || s == SERVICE_PAUSE_PENDING ||
                          s == SERVICE_CONTINUE_PENDING;
    if (esperado == 0 || s == esperado || !pendente) break;
    if (std::chrono::steady_clock::now() > prazo) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::wprintf(L"%ls %lu %lu %lu\n", NomeEstado(status.dwCurrentState), status.dwControlsAccepted,
               status.dwWin32ExitCode, status.dwWaitHint);
  std::fflush(stdout);
  ::CloseServiceHandle(servico);
  ::CloseServiceHandle(gerenciador);
  return esperado == 0 || status.dwCurrentState == esperado ? 0 : 1;
}
