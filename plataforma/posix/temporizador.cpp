#include "plataforma/temporizador.h"
Temporizador::Temporizador() = default;
Temporizador::~Temporizador() = default;
void Temporizador::SetInterval(std::uint32_t) {}
void Temporizador::SetEnabled(bool) {}
