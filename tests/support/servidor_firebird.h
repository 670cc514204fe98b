// Where the tests' databases are reached: through the embedded engine, with
// no server anywhere the client looks, or through a Firebird server of the
// tests' own (scripts/firebird/servidor.sh lays it out).
//
// The client library reads its settings once per process, at the first
// database call, from the folder in FIREBIRD. Every test process starts with
// settings whose loopback port is held closed for its whole life, so that a
// plain path always ends in the embedded engine, whatever server the machine
// itself runs on the usual port. A ServidorFirebird made before the first
// database call of the process points the client (and every child process)
// at its own port instead: a plain path then goes through it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "tests/support/pasta_temporaria.h"

namespace lumiford::teste {

enum class Topologia {
  Embutido,                // a plain path, no server running
  ServidorCaminhoSimples,  // a plain path while the tests' server runs
  ServidorHostPorta,       // 127.0.0.1/<port>:path
};
std::string NomeTopologia(Topologia topologia);
inline std::ostream& operator<<(std::ostream& saida, Topologia t) { return saida << NomeTopologia(t); }

// Called by every helper that touches a database, before the first call:
// from then on the client's settings are fixed for the process.
void FixarConfiguracaoCliente();

class ServidorFirebird {
 public:
  // Lays the server out (its security database copied from one made once per
  // build), starts it and points the client at it. Throws when a database
  // call of this process came first.
  ServidorFirebird();
  ~ServidorFirebird();
  ServidorFirebird(const ServidorFirebird&) = delete;
  ServidorFirebird& operator=(const ServidorFirebird&) = delete;

  std::uint16_t Porta() const { return porta_; }
  // "127.0.0.1/<port>:" in front of a path reaches this server by address.
  std::string Prefixo() const;
  bool Rodando() const { return pid_ > 0; }
  void Parar();    // a clean stop; the port stays ours
  void Iniciar();  // again, on the same port
  void Matar();    // SIGKILL, as a crash would

 private:
  PastaTemporaria pasta_{"lumiford-fbserver"};
  std::uint16_t porta_ = 0;
  pid_t pid_ = -1;
};

// The server the topology needs (none for Embutido), and the Servidor value
// of lumiford.ini for a folder of databases.
class TopologiaBanco {
 public:
  explicit TopologiaBanco(Topologia topologia);
  Topologia Tipo() const { return topologia_; }
  ServidorFirebird* Servidor() const { return servidor_.get(); }
  std::string ValorServidor(const std::string& pasta) const;

 private:
  Topologia topologia_;
  std::unique_ptr<ServidorFirebird> servidor_;
};

}  // namespace lumiford::teste
