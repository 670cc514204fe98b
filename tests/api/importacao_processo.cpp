// One billing import in a process of its own, so that a test can kill it
// half-way with SIGKILL: argv[1] is the directory with lumiford.ini (the
// executable's directory of the service), argv[2] the day the clock stands
// at, yyyy-mm-dd. Exit code 0 when the import ran to its end.
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "api/ufuncoes_api.h"
#include "dm/banco.h"
#include "dm/udm.h"
#include "global/datas.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "uso: %s <diretorio> <aaaa-mm-dd>\n", argv[0]);
    return 2;
  }
  int ano = 0;
  unsigned mes = 0, dia = 0;
  if (std::sscanf(argv[2], "%d-%u-%u", &ano, &mes, &dia) != 3) return 2;
  const DataHora agora =
      InicioDoDia(std::chrono::year{ano} / std::chrono::month{mes} / std::chrono::day{dia}) + std::chrono::hours{10};
  DefinirRelogio([agora] { return agora; });
  SubstituirDiretorioExecutavel(argv[1]);
  try {
    dm = std::make_unique<Tdm>();
    if (ErroConexao) {
      std::fprintf(stderr, "%s\n", MensagemErroConexao.c_str());
      return 3;
    }
    BuscarFaturamento();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    dm.reset();
    EncerrarMotorBanco();
    return 1;
  }
  dm.reset();
  EncerrarMotorBanco();
  return 0;
}
