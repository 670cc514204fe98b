#include "plataforma/laco.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "plataforma/executavel.h"
#include "plataforma/registro_eventos.h"

// A window-message loop on the calling thread. The timers of
// temporizador.cpp arrive in it as WM_TIMER; a quit request wakes the
// loop with a thread message.

namespace {

// Set by a quit request, so that one made before the loop runs is not lost.
std::atomic<bool> pedidoEncerrar{false};
// The thread that runs the loop, once its message queue exists.
std::atomic<DWORD> hiloLaco{0};

constexpr UINT kAcordar = WM_APP + 1;

bool Encerrando() { return pedidoEncerrar.exchange(false); }

}  // namespace

void ExecutarLaco() {
  MSG mensagem;
  // The thread's message queue exists from its first look at it.
  ::PeekMessageW(&mensagem, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  hiloLaco = ::GetCurrentThreadId();
  for (;;) {
    // Checked before every message: timers that fell due during the last
    // handler do not run after a quit.
    if (Encerrando()) break;
    const BOOL resultado = ::GetMessageW(&mensagem, nullptr, 0, 0);
    if (resultado == 0 || resultado == -1) break;
    if (Encerrando()) break;
    if (mensagem.hwnd == nullptr && mensagem.message == kAcordar) continue;
    ::TranslateMessage(&mensagem);
    try {
      ::DispatchMessageW(&mensagem);
    } catch (...) {
      RegistrarErroDoLaco(std::current_exception());
    }
  }
  hiloLaco = 0;
}

void EncerrarLaco() {
  pedidoEncerrar = true;
  if (const DWORD hilo = hiloLaco.load()) ::PostThreadMessageW(hilo, kAcordar, 0, 0);
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
