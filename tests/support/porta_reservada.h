// A loopback port held for one test: bound, never listening, so that a
// connection to it is refused and no other socket on the machine takes it,
// while simulators, which reuse addresses, may listen on it in turn.
#pragma once

#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "plataforma/rede.h"

namespace lumiford::teste {

class PortaReservada {
 public:
  PortaReservada() {
    const boost::asio::ip::tcp::endpoint local(boost::asio::ip::address_v4::loopback(), 0);
    soquete_.open(local.protocol());
    NaoHerdarSoquete(static_cast<std::intptr_t>(soquete_.native_handle()));
    soquete_.set_option(boost::asio::socket_base::reuse_address(true));
    soquete_.bind(local);
    porta_ = soquete_.local_endpoint().port();
  }
  PortaReservada(const PortaReservada&) = delete;
  PortaReservada& operator=(const PortaReservada&) = delete;
  std::uint16_t Porta() const { return porta_; }

 private:
  boost::asio::io_context contexto_;
  boost::asio::ip::tcp::socket soquete_{contexto_};
  std::uint16_t porta_ = 0;
};

}  // namespace lumiford::teste
