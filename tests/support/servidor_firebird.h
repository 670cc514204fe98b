// Where the tests' databases are reached: through the embedded engine, with
// no server anywhere the client looks, or through a Firebird server of the
// tests' own (scripts/firebird/servidor.sh lays it out).
//
// The client library reads its settings from the folder in FIREBIRD. Every
// test process gets a folder of its own whose loopback port is held closed
// by the process for its whole life: a plain path then ends in the embedded
// engine, whatever server the machine itself runs on the usual port. A
// ServidorFirebird listens on that very port while it runs, so that a plain
// path of this process and of its children goes through it.
//
// Only one server can listen there at a time: starting one stops whichever
// other runs. The environments of a topology share one server per process
// (ServidorCompartilhado), started when the first needs it and left running
// between tests.
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
// Every topology, for INSTANTIATE_TEST_SUITE_P, and the parameter's name.
inline constexpr Topologia kTopologias[] = {Topologia::Embutido, Topologia::ServidorCaminhoSimples,
                                            Topologia::ServidorHostPorta};
struct NomeDaTopologia {
  template <class Info>
  std::string operator()(const Info& info) const {
    return NomeTopologia(info.param);
  }
};
inline std::ostream& operator<<(std::ostream& saida, Topologia t) { return saida << NomeTopologia(t); }

// The process's settings are made when the test program starts; the helpers
// that connect call this, so that every program that connects has them.
void PrepararClienteFirebird();

class ServidorFirebird {
 public:
  // Lays the server out (its security database copied from one made once per
  // build) and starts it.
  ServidorFirebird();
  ~ServidorFirebird();
  ServidorFirebird(const ServidorFirebird&) = delete;
  ServidorFirebird& operator=(const ServidorFirebird&) = delete;

  std::uint16_t Porta() const { return porta_; }
  // "127.0.0.1/<port>:" in front of a path reaches this server by address.
  std::string Prefixo() const;
  bool Rodando() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }  // the server process (its CPU is read by the benchmarks)
  void Parar();    // a clean stop; the port stays ours
  void Iniciar();  // again, on the same port
  void Matar();    // SIGKILL, as a crash would

 private:
  PastaTemporaria pasta_{"lumiford-fbserver"};  // lock and temporary folders, log
  std::uint16_t porta_ = 0;
  pid_t pid_ = -1;
};

// The process's shared server, running: started on first use, and again
// after a test stopped it or another server took the port.
std::shared_ptr<ServidorFirebird> ServidorCompartilhado();

// The server the topology needs (none for Embutido: then no server of the
// tests runs), and the Servidor value of lumiford.ini for a folder of
// databases.
class TopologiaBanco {
 public:
  explicit TopologiaBanco(Topologia topologia);
  Topologia Tipo() const { return topologia_; }
  ServidorFirebird* Servidor() const { return servidor_.get(); }
  std::string ValorServidor(const std::string& pasta) const;

 private:
  Topologia topologia_;
  std::shared_ptr<ServidorFirebird> servidor_;
};

}  // namespace lumiford::teste
