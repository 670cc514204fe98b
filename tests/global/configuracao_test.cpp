// lumiford.ini beside the executable, read by LerConfiguracao into the
// globals, with the rules of the Windows profile functions.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "global/datas.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"

namespace {

using namespace std::chrono;

const std::string BOM = "\xEF\xBB\xBF";
const std::string P = "09/12/2026 14:05:09: ";

std::string LerBytes(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

// The bytes of a UTF-16LE file with its byte-order mark.
std::string Utf16le(std::u16string_view texto) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : texto) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

class ConfiguracaoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RestaurarGlobais();
    SubstituirDiretorioExecutavel(pasta.str());
    DefinirRelogio([] { return local_days{2026y / 12 / 9} + 14h + 5min + 9s; });
  }
  void TearDown() override {
    SubstituirDiretorioExecutavel("");
    DefinirRelogio({});
    RestaurarGlobais();
  }
  void Ini(const std::string& bytes) const {
    std::ofstream(pasta / "lumiford.ini", std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string Log() const { return LerBytes(pasta / "Log.txt"); }

  lumiford::teste::PastaTemporaria pasta{"ini"};
};

TEST_F(ConfiguracaoTest, ExampleFileFillsTheGlobalsAndWritesTheBanner) {
  Ini("[Lumiford]\r\nEmpresa=7\r\nLumiford=C:\\Lumiford\r\nServidor=/srv/lumiford/Dados\r\n"
      "Nome_Servidor=SERVIDOR\r\nDebug=Sim\r\n");
  LerConfiguracao();
  EXPECT_EQ(CodigoEmpresa, 7);
  EXPECT_EQ(DiretorioSistema, "C:\\Lumiford");
  EXPECT_EQ(DiretorioServidor, "/srv/lumiford/Dados");
  EXPECT_EQ(NomeServidor, "SERVIDOR");
  EXPECT_EQ(ModoDebug, "Sim");
  EXPECT_EQ(ArquivoConfiguracao, pasta / "lumiford.ini");
  EXPECT_TRUE(std::filesystem::is_directory(pasta / "Req"));

  const std::string banner = P + "Empresa............: 7\r\n" + P + "Diretório Lumiford.: C:\\Lumiford\r\n" + P +
                             "Diretório Servidor.: /srv/lumiford/Dados\r\n" + P + "Nome do Servidor...: SERVIDOR\r\n" +
                             P + " \r\n";
  EXPECT_EQ(Log(), BOM + banner);

  // Every start reads the settings twice: the banner comes twice.
  LerConfiguracao();
  EXPECT_EQ(Log(), BOM + banner + banner);
}

TEST_F(ConfiguracaoTest, OnlyExactlySimSwitchesDebugOn) {
  struct Caso {
    std::string linha;
    std::string modo;
    bool banner;
  };
  const std::vector<Caso> casos = {
      {"Debug=Sim", "Sim", true},         {"Debug= Sim ", "Sim", true},     {"Debug=\tSim\t", "Sim", true},
      {"Debug=\"Sim\"", "Sim", true},     {"Debug='Sim'", "Sim", true},     {"DEBUG=Sim", "Sim", true},
      {"Debug=sim", "sim", false},        {"Debug=SIM", "SIM", false},      {"Debug=", "", false},
      {"Debug=\"Sim'", "\"Sim'", false},  {"Debug=\" Sim \"", " Sim ", false}, {"", "", false},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.linha);
    std::filesystem::remove(pasta / "Log.txt");
    Ini("[Lumiford]\nEmpresa=3\n" + caso.linha + "\n");
    LerConfiguracao();
    EXPECT_EQ(ModoDebug, caso.modo);
    EXPECT_EQ(EmDebug(), caso.banner);
    EXPECT_EQ(std::filesystem::exists(pasta / "Log.txt"), caso.banner);
  }
}

TEST_F(ConfiguracaoTest, CompanyCodeIsAProfileInteger) {
  struct Caso {
    std::string valor;
    std::int32_t codigo;
  };
  const std::vector<Caso> casos = {
      {"7", 7},           {"0x1F", 31},      {"0X1f", 31},       {"$ff", 255},          {"$FF", 255},
      {"abc", 0},         {"", 0},           {"12abc", 0},       {"-5", -5},            {"+12", 12},
      {" 42 ", 42},       {"'42'", 42},      {"\"0x10\"", 16},   {"0x", 0},             {"$", 0},
      {"-", 0},           {"1 2", 0},        {"1.5", 0},         {"0x1G", 0},           {"007", 7},
      {"2147483647", INT_MAX},               {"2147483648", 0},  {"-2147483648", INT_MIN},
      {"-2147483649", 0}, {"0xFFFFFFFF", -1}, {"0x100000000", 0}, {"99999999999999999999", 0},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.valor);
    CodigoEmpresa = 12345;
    Ini("[Lumiford]\nEmpresa=" + caso.valor + "\n");
    LerConfiguracao();
    EXPECT_EQ(CodigoEmpresa, caso.codigo);
  }
}

TEST_F(ConfiguracaoTest, MissingFileIsLoggedEveryTimeAndKeepsTheOtherValues) {
  CodigoEmpresa = 5;
  DiretorioServidor = "/antigo";
  ModoDebug = "Sim";
  LerConfiguracao();
  LerConfiguracao();
  EXPECT_EQ(Log(), BOM + P + "Arquivo lumiford.ini não encontrado.\r\n" + P + "Arquivo lumiford.ini não encontrado.\r\n");
  EXPECT_EQ(CodigoEmpresa, 5);
  EXPECT_EQ(ModoDebug, "Sim");
  EXPECT_EQ(DiretorioServidor, "");  // emptied before the file is looked for
  EXPECT_EQ(ArquivoConfiguracao, pasta / "lumiford.ini");
  EXPECT_TRUE(std::filesystem::is_directory(pasta / "Req"));

  // A directory of that name is no settings file either.
  std::filesystem::create_directory(pasta / "lumiford.ini");
  LerConfiguracao();
  const std::string linha = P + "Arquivo lumiford.ini não encontrado.\r\n";
  EXPECT_EQ(Log(), BOM + linha + linha + linha);
}

// Absent keys give their defaults, not the values of a previous run.
TEST_F(ConfiguracaoTest, ProfileFileRules) {
  struct Caso {
    const char* nome;
    std::string bytes;
    std::int32_t empresa;
    std::string servidor;
    std::string nome_servidor;
  };
  const std::string longo(3000, 'x');
  const std::vector<Caso> casos = {
      {"seção e chaves em outra caixa", "[LUMIFORD]\nempresa=4\nSERVIDOR=/d\nnome_servidor=S\n", 4, "/d", "S"},
      {"espaços em volta de nomes", "  [ Lumiford ]  \n  Empresa  =  4  \n Servidor = /a b \n", 4, "/a b", ""},
      {"só a seção certa", "[Outra]\nEmpresa=9\nServidor=/x\n[Lumiford]\nEmpresa=4\n[Mais]\nServidor=/y\n", 4, "", ""},
      {"a primeira chave repetida vale", "[Lumiford]\nEmpresa=4\nEmpresa=5\nServidor=/1\nServidor=/2\n", 4, "/1", ""},
      {"chave sem valor", "[Lumiford]\nEmpresa\nServidor=\nNome_Servidor\n", 0, "", ""},
      {"comentários", "; topo\n[Lumiford]\n;Empresa=9\nEmpresa=4\n", 4, "", ""},
      {"valor com igual e aspas internas", "[Lumiford]\nServidor=a=b\nNome_Servidor=\"x\" y\"\n", 0, "a=b", "x\" y"},
      {"aspas simples", "[Lumiford]\nServidor=' /d '\n", 0, " /d ", ""},
      {"só uma aspa", "[Lumiford]\nServidor=\"\n", 0, "\"", ""},
      {"CR sozinhos", "[Lumiford]\rEmpresa=4\rServidor=/d\r", 4, "/d", ""},
      {"sem seção", "Empresa=4\nServidor=/d\n", 0, "", ""},
      {"vazio", "", 0, "", ""},
      {"valor longo", "[Lumiford]\nServidor=" + longo + "\n", 0, longo.substr(0, 2047), ""},
      {"UTF-8 com marca", BOM + "[Lumiford]\nEmpresa=4\nNome_Servidor=SERVIÇO\n", 4, "", "SERVIÇO"},
      {"UTF-8 sem marca", "[Lumiford]\nNome_Servidor=Março\n", 0, "", "Março"},
      {"Windows-1252", "[Lumiford]\nNome_Servidor=SERVI\xC7O \x80\x96\n", 0, "", "SERVIÇO €–"},
      {"UTF-16LE com marca", Utf16le(u"[Lumiford]\r\nEmpresa=4\r\nNome_Servidor=Ç😀\r\n"),
       4, "", "Ç😀"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    CodigoEmpresa = 99;
    NomeServidor = "anterior";
    Ini(caso.bytes);
    LerConfiguracao();
    EXPECT_EQ(CodigoEmpresa, caso.empresa);
    EXPECT_EQ(DiretorioServidor, caso.servidor);
    EXPECT_EQ(NomeServidor, caso.nome_servidor);
  }
}

TEST_F(ConfiguracaoTest, LongValuesAreCutAtWholeCharacters) {
  // 2046 units and then a character that takes two UTF-16 units: it does not fit.
  const std::string valor = std::string(2046, 'a') + "😀" + "b";
  Ini("[Lumiford]\nServidor=" + valor + "\nNome_Servidor=" + std::string(2046, 'a') + "çb\n");
  LerConfiguracao();
  EXPECT_EQ(DiretorioServidor, std::string(2046, 'a'));
  EXPECT_EQ(NomeServidor, std::string(2046, 'a') + "ç");
}

TEST_F(ConfiguracaoTest, CertificateKeysAreRead) {
  Ini("[Lumiford]\nCertificadoCA = /etc/lumiford/ca.pem \nVerificarCertificado=Nao\n");
  LerConfiguracao();
  EXPECT_EQ(CertificadoCA, "/etc/lumiford/ca.pem");
  EXPECT_EQ(VerificarCertificado, "Nao");

  Ini("[Lumiford]\nEmpresa=1\n");
  LerConfiguracao();
  EXPECT_EQ(CertificadoCA, "");
  EXPECT_EQ(VerificarCertificado, "");
}

TEST_F(ConfiguracaoTest, RestaurarGlobaisBringsBackTheStartValues) {
  CodigoEmpresa = 1;
  DiretorioSistema = DiretorioServidor = NomeServidor = ModoDebug = ArquivoConfiguracao = DiretorioExe = "x";
  MensagemErroConexao = CertificadoCA = VerificarCertificado = "x";
  ErroConexao = true;
  RestaurarGlobais();
  EXPECT_EQ(CodigoEmpresa, 0);
  EXPECT_FALSE(ErroConexao);
  for (const std::string* texto : {&DiretorioSistema, &DiretorioServidor, &NomeServidor, &ModoDebug,
                                   &ArquivoConfiguracao, &DiretorioExe, &MensagemErroConexao, &CertificadoCA,
                                   &VerificarCertificado})
    EXPECT_EQ(*texto, "");
}

}  // namespace
