// Files opened for reading while refusing writers, the few write operations
// of the log, and where the executable lives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plataforma/arquivos.h"
#include "plataforma/executavel.h"
#include "tests/support/filho.h"
#include "tests/support/outro_processo.h"
#include "tests/support/pasta_temporaria.h"

namespace {

namespace fs = std::filesystem;
using lumiford::teste::ArquivoAbertoEmOutroProcesso;

std::string LerBytes(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

void GravarBytes(const std::string& caminho, const std::string& bytes) {
  std::ofstream(caminho, std::ios::binary | std::ios::trunc) << bytes;
}

std::string LerTudo(const ArquivoLeitura& arquivo) {
  std::string conteudo;
  char bloco[7];  // small on purpose: reads at many offsets
  std::uint64_t posicao = 0;
  while (const std::size_t n = arquivo.LerEm(posicao, bloco, sizeof bloco)) {
    conteudo.append(bloco, n);
    posicao += n;
  }
  return conteudo;
}

class ArquivosTest : public ::testing::Test {
 protected:
  lumiford::teste::PastaTemporaria pasta{"arquivos"};
};

TEST_F(ArquivosTest, ReadsAWholeFileAtAnyOffset) {
  const std::string conteudo = std::string("%PDF-1.4\n\0\xFF binário\r\n", 22) + std::string(1000, 'x');
  GravarBytes(pasta / "boleto.pdf", conteudo);
  ArquivoLeitura arquivo = ArquivoLeitura::AbrirSemEscritores(pasta / "boleto.pdf");
  ASSERT_TRUE(arquivo.Aberto());
  EXPECT_EQ(arquivo.Tamanho(), conteudo.size());
  EXPECT_EQ(LerTudo(arquivo), conteudo);
  char c = 0;
  EXPECT_EQ(arquivo.LerEm(conteudo.size() + 10, &c, 1), 0u);

  ArquivoLeitura movido = std::move(arquivo);
  EXPECT_FALSE(arquivo.Aberto());
  EXPECT_TRUE(movido.Aberto());
  movido.Fechar();
  EXPECT_FALSE(movido.Aberto());
}

TEST_F(ArquivosTest, OpeningFailuresCarryTheReason) {
  GravarBytes(pasta / "a.txt", "a");
  ASSERT_EQ(::mkfifo((pasta / "fila").c_str(), 0600), 0);
  struct Caso {
    std::string caminho;
    std::errc motivo;
  };
  const std::vector<Caso> casos = {
      {pasta / "falta.txt", std::errc::no_such_file_or_directory},
      {pasta.str(), std::errc::is_a_directory},
      {pasta / "fila", std::errc::invalid_argument},  // refused at once, never waited on
      {pasta / "a.txt/x", std::errc::not_a_directory},
  };
  for (const auto& caso : casos) {
    try {
      ArquivoLeitura::AbrirSemEscritores(caso.caminho);
      ADD_FAILURE() << "opened " << caso.caminho;
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::make_error_code(caso.motivo)) << caso.caminho;
      EXPECT_NE(std::string(e.what()).find(caso.caminho), std::string::npos) << e.what();
    }
  }
}

TEST_F(ArquivosTest, AFileHeldOpenForWritingByAnotherProcessIsRefused) {
  const std::string caminho = pasta / "nota.xml";
  GravarBytes(caminho, "<xml/>");
  {
    ArquivoAbertoEmOutroProcesso escritor(caminho, O_WRONLY);
    ASSERT_TRUE(escritor.Aberto());
    try {
      ArquivoLeitura::AbrirSemEscritores(caminho);
      ADD_FAILURE() << "opened a file held by a writer";
    } catch (const ArquivoEmUso& e) {
      EXPECT_EQ(e.code(), std::errc::text_file_busy);
      EXPECT_EQ(std::string(e.what()), caminho + ": o arquivo está aberto para escrita por outro processo");
    }
  }
  {
    // Other readers are no obstacle, and we never hold them up.
    ArquivoAbertoEmOutroProcesso leitor(caminho, O_RDONLY);
    ASSERT_TRUE(leitor.Aberto());
    const ArquivoLeitura arquivo = ArquivoLeitura::AbrirSemEscritores(caminho);
    EXPECT_EQ(LerTudo(arquivo), "<xml/>");
    ArquivoAbertoEmOutroProcesso escritor(caminho, O_WRONLY);  // opens at once: we hold no lease
    EXPECT_TRUE(escritor.Aberto());
  }
  // Once the writer is gone the file opens.
  EXPECT_EQ(LerTudo(ArquivoLeitura::AbrirSemEscritores(caminho)), "<xml/>");
}

// The test of "no other writer" must never end this process, whenever the
// other one opens the file: a writer that opens it in the instant our test
// is made makes the kernel signal us. Another process opens the file for
// writing in a tight loop while this one tests it as fast as it can.
TEST_F(ArquivosTest, AWriterOpeningAtAnyMomentNeverEndsTheReader) {
  const std::string caminho = pasta / "boleto.pdf";
  GravarBytes(caminho, "%PDF-1.4\n%%EOF\n");
  lumiford::teste::Filho escritor([&] {
    const auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < fim) {
      const int fd = ::open(caminho.c_str(), O_WRONLY | O_APPEND);
      if (fd < 0) return 1;
      ::close(fd);
    }
    return 0;
  });
  long abertos = 0, recusados = 0;
  while (escritor.Vivo()) {
    try {
      const ArquivoLeitura arquivo = ArquivoLeitura::AbrirSemEscritores(caminho);
      EXPECT_EQ(LerTudo(arquivo), "%PDF-1.4\n%%EOF\n");
      ++abertos;
    } catch (const ArquivoEmUso&) {
      ++recusados;
    }
  }
  EXPECT_EQ(escritor.Esperar(), 0);
  EXPECT_GT(abertos + recusados, 100);
  // Still here, and the file still opens.
  EXPECT_EQ(LerTudo(ArquivoLeitura::AbrirSemEscritores(caminho)), "%PDF-1.4\n%%EOF\n");
}

// The kernel counts every handle open for writing, our own process's too: a
// file this process is still writing is refused just the same.
TEST_F(ArquivosTest, AFileThisProcessHoldsOpenForWritingIsRefusedToo) {
  const std::string caminho = pasta / "meu.txt";
  ArquivoEscrita escrita = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
  escrita.Escrever("parcial");
  EXPECT_THROW(ArquivoLeitura::AbrirSemEscritores(caminho), ArquivoEmUso);
  escrita.Fechar();
  EXPECT_EQ(LerTudo(ArquivoLeitura::AbrirSemEscritores(caminho)), "parcial");
}

TEST_F(ArquivosTest, WritingModes) {
  const std::string caminho = pasta / "log.txt";
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Acrescentar);
    a.Escrever("um\r\n");
    a.Fechar();
  }
  const EstadoArquivo depois_um = *EstadoDoArquivo(caminho);
  {
    ArquivoEscrita a = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Acrescentar);
    a.Escrever("dois\r\n");
    EXPECT_EQ(a.Estado().tamanho, 10u);
  }
  EXPECT_EQ(LerBytes(caminho), "um\r\ndois\r\n");
  const EstadoArquivo depois_dois = *EstadoDoArquivo(caminho);
  EXPECT_EQ(depois_dois.no, depois_um.no);
  EXPECT_NE(depois_dois, depois_um);
  {
    ArquivoEscrita s = ArquivoEscrita::Abrir(caminho, ArquivoEscrita::Modo::Substituir);
    s.Escrever("novo");
    s.Fechar();
  }
  EXPECT_EQ(LerBytes(caminho), "novo");
  EXPECT_EQ(EstadoDoArquivo(caminho)->tamanho, 4u);
  EXPECT_FALSE(EstadoDoArquivo(pasta / "falta").has_value());

  EXPECT_THROW(ArquivoEscrita::Abrir(pasta.str(), ArquivoEscrita::Modo::Acrescentar), std::system_error);
  EXPECT_THROW(ArquivoEscrita::Abrir(pasta / "falta/x", ArquivoEscrita::Modo::Substituir), std::system_error);
}

TEST_F(ArquivosTest, RenamingWithoutReplacing) {
  GravarBytes(pasta / "a", "A");
  GravarBytes(pasta / "b", "B");
  EXPECT_FALSE(RenomearSemSubstituir(pasta / "a", pasta / "b"));
  EXPECT_EQ(LerBytes(pasta / "a"), "A");
  EXPECT_EQ(LerBytes(pasta / "b"), "B");

  EXPECT_TRUE(RenomearSemSubstituir(pasta / "a", pasta / "c"));
  EXPECT_FALSE(fs::exists(pasta / "a"));
  EXPECT_EQ(LerBytes(pasta / "c"), "A");

  EXPECT_THROW(RenomearSemSubstituir(pasta / "falta", pasta / "d"), std::system_error);

  RenomearArquivo(pasta / "c", pasta / "b");
  EXPECT_EQ(LerBytes(pasta / "b"), "A");
  EXPECT_THROW(RenomearArquivo(pasta / "falta", pasta / "b"), std::system_error);

  RemoverArquivo(pasta / "b");
  RemoverArquivo(pasta / "b");  // already gone: no error
  EXPECT_FALSE(fs::exists(pasta / "b"));
}

TEST_F(ArquivosTest, ArquivoExiste) {
  GravarBytes(pasta / "arquivo", "x");
  fs::create_directory(pasta / "pasta");
  fs::create_symlink(pasta / "arquivo", pasta / "link");
  fs::create_symlink(pasta / "falta", pasta / "link-quebrado");
  ASSERT_EQ(::mkfifo((pasta / "fila").c_str(), 0600), 0);
  const std::vector<std::pair<std::string, bool>> casos = {
      {"arquivo", true}, {"link", true},  {"pasta", false},
      {"falta", false},  {"link-quebrado", false}, {"fila", false},
  };
  for (const auto& [nome, existe] : casos) EXPECT_EQ(ArquivoExiste(pasta / nome), existe) << nome;
}

TEST(Executavel, DirectoryOfTheRunningProgramNotTheWorkingOne) {
  const std::string caminho = CaminhoExecutavel();
  EXPECT_TRUE(fs::equivalent(caminho, "/proc/self/exe"));
  EXPECT_EQ(DiretorioDoExecutavel(), fs::path(caminho).parent_path().string());

  const fs::path antes = fs::current_path();
  lumiford::teste::PastaTemporaria outra{"cwd"};
  fs::current_path(outra.caminho());
  EXPECT_EQ(DiretorioDoExecutavel(), fs::path(caminho).parent_path().string());
  fs::current_path(antes);

  SubstituirDiretorioExecutavel(outra.str());
  EXPECT_EQ(DiretorioDoExecutavel(), outra.str());
  EXPECT_EQ(CaminhoExecutavel(), caminho);
  SubstituirDiretorioExecutavel("");
  EXPECT_EQ(DiretorioDoExecutavel(), fs::path(caminho).parent_path().string());
}

}  // namespace
