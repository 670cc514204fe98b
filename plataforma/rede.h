// Socket settings the system offers beyond the portable ones.
#pragma once

#include <cstdint>

// Asks the system to acknowledge what arrives on the socket at once instead
// of delaying the acknowledgement. A reply waiting behind a small unacknowledged
// segment on a server that batches its small writes then leaves without
// waiting for the delayed acknowledgement (tens of milliseconds). The system
// may drop back to delaying after the socket sends, so it is asked again
// before each read. Any error is swallowed: it only costs time.
void ConfirmarRecebimentoSemDemora(std::intptr_t soquete) noexcept;

// Keeps the socket out of the processes this one starts later (a server
// whose port must close with it). Any error is swallowed.
void NaoHerdarSoquete(std::intptr_t soquete) noexcept;
