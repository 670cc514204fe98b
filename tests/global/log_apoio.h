// What the log's tests share: the test clock, the bytes of a file, and a
// fixture whose executable folder is a folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "global/datas.h"
#include "global/log.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"

namespace lumiford::teste::log {


using namespace std::chrono;
using namespace std::string_literals;

inline const std::string BOM = "\xEF\xBB\xBF";
inline const std::string P = "09/12/2026 14:05:09: ";  // prefix of every line at the test clock

inline DataHora Relogio() { return local_days{2026y / 12 / 9} + 14h + 5min + 9s + 321ms; }

inline std::string LerBytes(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

inline void GravarBytes(const std::string& caminho, const std::string& bytes) {
  std::ofstream arquivo(caminho, std::ios::binary | std::ios::trunc);
  arquivo << bytes;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SubstituirDiretorioExecutavel(pasta.str());
    DefinirRelogio(Relogio);
  }
  void TearDown() override {
    SubstituirDiretorioExecutavel("");
    DefinirRelogio({});
    RestaurarGlobais();
  }
  std::string Log() const { return LerBytes(pasta / "Log.txt"); }
  std::vector<std::string> Arquivos() const {
    std::set<std::string> nomes;
    for (const auto& e : std::filesystem::directory_iterator(pasta.caminho())) nomes.insert(e.path().filename().string());
    return {nomes.begin(), nomes.end()};
  }

  lumiford::teste::PastaTemporaria pasta{"log"};
};

}  // namespace lumiford::teste::log
