// A loopback port held for one test: bound, never listening, so that a
// connection to it is refused and no other socket on the machine takes it,
// while simulators, which reuse addresses, may listen on it in turn.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace lumiford::teste {

class PortaReservada {
 public:
  PortaReservada() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int um = 1;
    sockaddr_in endereco{};
    endereco.sin_family = AF_INET;
    endereco.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t tamanho = sizeof endereco;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &um, sizeof um) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&endereco), sizeof endereco) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&endereco), &tamanho) != 0) {
      const int erro = errno;
      if (fd_ >= 0) ::close(fd_);
      throw std::system_error(erro, std::generic_category(), "porta reservada");
    }
    porta_ = ntohs(endereco.sin_port);
  }
  ~PortaReservada() { ::close(fd_); }
  PortaReservada(const PortaReservada&) = delete;
  PortaReservada& operator=(const PortaReservada&) = delete;
  std::uint16_t Porta() const { return porta_; }

 private:
  int fd_ = -1;
  std::uint16_t porta_ = 0;
};

}  // namespace lumiford::teste
