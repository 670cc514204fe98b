#include "plataforma/rede.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void ConfirmarRecebimentoSemDemora(std::intptr_t soquete) noexcept {
#ifdef TCP_QUICKACK
  const int ligado = 1;
  ::setsockopt(static_cast<int>(soquete), IPPROTO_TCP, TCP_QUICKACK, &ligado, sizeof ligado);
#else
  (void)soquete;
#endif
}

void NaoHerdarSoquete(std::intptr_t soquete) noexcept { ::fcntl(static_cast<int>(soquete), F_SETFD, FD_CLOEXEC); }
