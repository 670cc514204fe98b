// Files as Windows shares them: a reader that refuses writers, writers that
// leave readers and renames alone, and the rename over an open log.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "global/log.h"
#include "global/uglobal.h"
#include "plataforma/arquivos.h"
#include "plataforma/caminhos.h"
#include "plataforma/executavel.h"
#include "tests/support/pasta_temporaria.h"

namespace {

std::string LerTudo(const std::string& caminho) {
  std::ifstream arquivo(CaminhoUtf8(caminho), std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

void Gravar(const std::string& caminho, const std::string& bytes) {
  std::ofstream(CaminhoUtf8(caminho), std::ios::binary | std::ios::trunc) << bytes;
}

// A handle of another program, with the sharing it allows.
struct Outro {
  Outro(const std::string& caminho, DWORD acesso, DWORD partilha)
      : h(::CreateFileW(CaminhoUtf8(caminho).wstring().c_str(), acesso, partilha, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
        erro(::GetLastError()) {}
  ~Outro() {
    if (Aberto()) ::CloseHandle(h);
  }
  bool Aberto() const { return h != INVALID_HANDLE_VALUE; }
  HANDLE h;
  DWORD erro;
};

constexpr DWORD kTudo = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class ArquivosWindows : public ::testing::Test {
 protected:
  lumiford::teste::PastaTemporaria pasta{"arquivos-win"};
};

TEST_F(ArquivosWindows, AReaderIsRefusedAtOnceWhileAnotherProgramWrites) {
  const std::string caminho = pasta / "boleto.pdf";
  Gravar(caminho, "%PDF");
  for (const DWORD partilha : {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}, kTudo, DWORD{0}}) {
    SCOPED_TRACE(partilha);
    Outro escritor(caminho, GENERIC_WRITE, partilha);
    ASSERT_TRUE(escritor.Aberto());
    const auto inicio = std::chrono::steady_clock::now();
    EXPECT_THROW(ArquivoLeitura::AbrirSemEscritores(caminho), ArquivoEmUso);
    EXPECT_LT(std::chrono::steady_clock::now() - inicio, std::chrono::seconds(2));
  }
  EXPECT_EQ(LerTudo(caminho), "%PDF");
}

TEST_F(ArquivosWindows, WhileWeReadOtherReadersComeInAndWritersStayOut) {
  const std::string caminho = pasta / "nota.xml";
  Gravar(caminho, "<xml/>");
  ArquivoLeitura leitura = ArquivoLeitura::AbrirSemEscritores(caminho);
  {
    Outro leitor(caminho, GENERIC_READ, kTudo);
    EXPECT_TRUE(leitor.Aberto());
  }
  {
    Outro escritor(caminho, GENERIC_WRITE, kTudo);
    EXPECT_FALSE(escritor.Aberto());
    EXPECT_EQ(escritor.erro, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  char buffer[16] = {};
  EXPECT_EQ(leitura.LerEm(0, buffer, sizeof buffer), 6u);
  EXPECT_EQ(std::string(buffer, 6), "<xml/>");
  EXPECT_EQ(leitura.LerEm(6, buffer, sizeof buffer), 0u);
}

// Windows replaces no open file, even one shared for renames: the log's
// rewrite closes its reader first.
TEST_F(ArquivosWindows, TheLogIsReplacedByItsRewriteOnceItsReaderIsClosed) {
  const std::string log = pasta / "Log.txt";
  const std::string novo = pasta / "Log.txt.novo";
  Gravar(log, "antigo\r\n");
  const auto antes = EstadoDoArquivo(log);
  ASSERT_TRUE(antes);
  ArquivoLeitura leitura = ArquivoLeitura::AbrirSemEscritores(log);
  {
    ArquivoEscrita escrita = ArquivoEscrita::Abrir(novo, ArquivoEscrita::Modo::Substituir);
    escrita.Escrever("antigo\r\nnovo\r\n");
    escrita.Fechar();
  }
  try {
    RenomearArquivo(novo, log);
    ADD_FAILURE() << "replaced while open";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::permission_denied) << e.what();
  }
  leitura.Fechar();
  RenomearArquivo(novo, log);
  EXPECT_EQ(LerTudo(log), "antigo\r\nnovo\r\n");
  EXPECT_FALSE(std::filesystem::exists(CaminhoUtf8(novo)));
  const auto depois = EstadoDoArquivo(log);
  ASSERT_TRUE(depois);
  EXPECT_NE(*antes, *depois);
}

TEST_F(ArquivosWindows, WritersAppendOrReplaceAndKeepOtherWritersOut) {
  const std::string caminho = pasta / "Log.txt";
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
    a.Escrever("um\r\n");
    Outro leitor(caminho, GENERIC_READ, kTudo);
    EXPECT_TRUE(leitor.Aberto());
    Outro escritor(caminho, GENERIC_WRITE, kTudo);
    EXPECT_FALSE(escritor.Aberto());
    a.Fechar();
  }
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Acrescentar);
    a.Escrever("dois\r\n");
    const EstadoArquivo estado = a.Estado();
    EXPECT_EQ(estado.tamanho, 10u);
    a.Fechar();
    EXPECT_EQ(*EstadoDoArquivo(caminho), estado);
  }
  EXPECT_EQ(LerTudo(caminho), "um\r\ndois\r\n");
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
    a.Escrever("três\r\n");
  }
  EXPECT_EQ(LerTudo(caminho), "três\r\n");
}

TEST_F(ArquivosWindows, ErrorsTheCallersTellApart) {
  struct Caso {
    std::string caminho;
    std::errc motivo;
  };
  std::filesystem::create_directory(pasta.caminho() / "pasta");
  for (const Caso& caso : {Caso{pasta / "falta.pdf", std::errc::no_such_file_or_directory},
                           Caso{pasta / "sem\\falta.pdf", std::errc::no_such_file_or_directory},
                           Caso{pasta / "pasta", std::errc::is_a_directory}}) {
    SCOPED_TRACE(caso.caminho);
    try {
      ArquivoLeitura::AbrirSemEscritores(caso.caminho);
      ADD_FAILURE() << "opened";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::make_error_code(caso.motivo)) << e.what();
      EXPECT_NE(std::string(e.what()).find(caso.caminho), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(ArquivoExiste(pasta / "pasta"));
  EXPECT_FALSE(ArquivoExiste(pasta / "falta.pdf"));
  EXPECT_FALSE(EstadoDoArquivo(pasta / "falta.pdf"));
}

TEST_F(ArquivosWindows, RenameWithoutReplacingLeavesAnExistingFile) {
  const std::string a = pasta / "Log.txt";
  const std::string b = pasta / "Log-20261209-140509.txt";
  Gravar(a, "a");
  Gravar(b, "b");
  EXPECT_FALSE(RenomearSemSubstituir(a, b));
  EXPECT_EQ(LerTudo(b), "b");
  RemoverArquivo(b);
  EXPECT_TRUE(RenomearSemSubstituir(a, b));
  EXPECT_EQ(LerTudo(b), "a");
  EXPECT_TRUE(ArquivoExiste(b));
  EXPECT_FALSE(ArquivoExiste(a));
}

TEST_F(ArquivosWindows, NamesOutsideTheAnsiCodePage) {
  const std::string caminho = pasta / "Março – ☃.xml";
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
    a.Escrever("x");
  }
  EXPECT_TRUE(ArquivoExiste(caminho));
  ArquivoLeitura leitura = ArquivoLeitura::AbrirSemEscritores(caminho);
  EXPECT_EQ(leitura.Tamanho(), 1u);
}

// The executable's folder may have any name: the Req folder, the settings
// and the log's rewrite all find it.
TEST_F(ArquivosWindows, ReqSettingsAndLogInAFolderNamedOutsideTheAnsiCodePage) {
  const std::wstring largo = std::filesystem::path(pasta.caminho()).wstring() + L"\\Gest\u00E3o \u2603";
  ASSERT_TRUE(::CreateDirectoryW(largo.c_str(), nullptr));
  const std::string diretorio = pasta.str() + "\\Gestão ☃";
  {
    ArquivoEscrita ini = ArquivoEscrita::Abrir(diretorio + "\\lumiford.ini", ArquivoEscrita::Modo::Substituir);
    ini.Escrever("[Lumiford]\r\nEmpresa=12\r\n");
    ini.Fechar();
  }
  SubstituirDiretorioExecutavel(diretorio);
  LerConfiguracao();
  EXPECT_EQ(CodigoEmpresa, 12);
  const DWORD req = ::GetFileAttributesW((largo + L"\\Req").c_str());
  EXPECT_TRUE(req != INVALID_FILE_ATTRIBUTES && (req & FILE_ATTRIBUTE_DIRECTORY));
  GravarLog("a\rb");  // the next call rewrites the file
  GravarLog("c");
  EXPECT_NE(::GetFileAttributesW((largo + L"\\Log.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  const std::string log = LerTudo(diretorio + "\\Log.txt");
  EXPECT_NE(log.find(": a\r\nb\r\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with(": c\r\n")) << log;
  SubstituirDiretorioExecutavel("");
  RestaurarGlobais();
}

}  // namespace
