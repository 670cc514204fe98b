// Placeholder: timers delivered one at a time on the main loop (being built).
#pragma once

#include <cstdint>
#include <functional>

class Temporizador {
 public:
  Temporizador();
  ~Temporizador();
  std::function<void()> OnTimer;
  void SetInterval(std::uint32_t ms);
  void SetEnabled(bool habilitado);
};
