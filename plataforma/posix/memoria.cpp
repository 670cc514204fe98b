#include "plataforma/memoria.h"

#include <malloc.h>

void LiberarMemoria() noexcept {
  // Returns the free heap pages to the system; nothing to report if it cannot.
  ::malloc_trim(0);
}
