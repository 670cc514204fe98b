#include "plataforma/memoria.h"

#include <windows.h>

void LiberarMemoria() noexcept {
  // The trim request: both sizes -1. Nothing to report if it cannot be made.
  HANDLE processo = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, ::GetCurrentProcessId());
  if (processo == nullptr) return;
  ::SetProcessWorkingSetSize(processo, static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
  ::CloseHandle(processo);
}
