#include "plataforma/rede.h"

#include <winsock2.h>
#include <mstcpip.h>

#ifndef SIO_TCP_SET_ACK_FREQUENCY
#define SIO_TCP_SET_ACK_FREQUENCY _WSAIOW(IOC_VENDOR, 23)
#endif

void ConfirmarRecebimentoSemDemora(std::intptr_t soquete) noexcept {
  // An acknowledgement for every segment (Windows 8 and later); older
  // systems refuse the request, which only costs time.
  DWORD frequencia = 1;
  DWORD devolvidos = 0;
  ::WSAIoctl(static_cast<SOCKET>(soquete), SIO_TCP_SET_ACK_FREQUENCY, &frequencia, sizeof frequencia, nullptr, 0,
             &devolvidos, nullptr, nullptr);
}

void NaoHerdarSoquete(std::intptr_t soquete) noexcept {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(soquete), HANDLE_FLAG_INHERIT, 0);
}
