// The Firebird client on Windows is fbclient.dll, loaded at run time: a
// service without it still starts, says why it has no database and arms no
// timer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "dm/udm.h"
#include "global/datas.h"
#include "global/uglobal.h"
#include "plataforma/bibliotecas.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"

namespace {

using namespace std::chrono;

std::string LerTudo(const std::filesystem::path& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

// The test programs have no fbclient.dll beside them, nor on the search path.
TEST(ClienteFirebird, MissingLibraryIsAnErrorThatNamesIt) {
  for (int vez = 0; vez < 2; ++vez) {  // a later call tries again, and fails the same way
    try {
      InterfaceMestreFirebird();
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("fbclient.dll"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("System Error.  Code: 126."), std::string::npos) << e.what();
    }
  }
}

TEST(ClienteFirebird, DataModuleWithoutTheLibraryLogsItAndArmsNoTimer) {
  lumiford::teste::PastaTemporaria pasta{"sem-fbclient"};
  SubstituirDiretorioExecutavel(pasta.str());
  DefinirRelogio([] { return local_days{2026y / 12 / 9} + 14h + 5min + 9s; });
  std::ofstream(pasta.caminho() / "lumiford.ini", std::ios::binary)
      << "[Lumiford]\r\nEmpresa=7\r\nServidor=C:\\ERP\\Dados\r\n";

  dm = std::make_unique<Tdm>();
  EXPECT_TRUE(ErroConexao);
  EXPECT_NE(MensagemErroConexao.find("fbclient.dll"), std::string::npos) << MensagemErroConexao;
  EXPECT_EQ(dm->Firebird.Params.at(2), "Database=C:\\ERP\\Dados\\DADOS.FDB");
  EXPECT_EQ(dm->Historico_Sistema.Params.at(2), "Database=C:\\ERP\\Dados\\HISTORICO_SISTEMA.FDB");
  EXPECT_FALSE(dm->Timer.Enabled());
  EXPECT_FALSE(dm->Timer_Requisicao.Enabled());
  const std::string log = LerTudo(pasta.caminho() / "Log.txt");
  EXPECT_NE(log.find("09/12/2026 14:05:09: Erro ao conectar na Base de Dados:\r" + MensagemErroConexao),
            std::string::npos)
      << log;
  dm.reset();

  // A server path keeps its form: host, colon, the server's own path.
  std::ofstream(pasta.caminho() / "lumiford.ini", std::ios::binary | std::ios::trunc)
      << "[Lumiford]\r\nEmpresa=7\r\nServidor=servidor:C:\\ERP\\Dados\r\n";
  dm = std::make_unique<Tdm>();
  EXPECT_EQ(dm->Firebird.Params.at(2), "Database=servidor:C:\\ERP\\Dados\\DADOS.FDB");
  dm.reset();

  SubstituirDiretorioExecutavel("");
  DefinirRelogio({});
  RestaurarGlobais();
}

}  // namespace
