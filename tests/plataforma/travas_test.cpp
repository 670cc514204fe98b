// The locks other processes meet: the one running copy of an installation,
// and the log's writers taking turns; each across real processes, with a
// holder killed the way a crash ends it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plataforma/arquivos.h"
#include "plataforma/instancia.h"
#include "tests/support/filho.h"
#include "tests/support/pasta_temporaria.h"

namespace {

using lumiford::teste::Filho;
using namespace std::chrono_literals;

std::string LerBytes(const std::string& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  return bytes.str();
}

// A child that takes the lock, says so through the pipe and then waits to
// be killed.
std::unique_ptr<Filho> SegurarInstancia(const std::string& caminho) {
  int tubo[2];
  if (::pipe(tubo) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  auto filho = std::make_unique<Filho>([&] {
    ::close(tubo[0]);
    auto trava = TravaInstancia::Tomar(caminho);
    const char c = trava ? 'y' : 'n';
    (void)!::write(tubo[1], &c, 1);
    for (;;) ::pause();
    return 0;
  });
  ::close(tubo[1]);
  char c = 0;
  (void)!::read(tubo[0], &c, 1);
  ::close(tubo[0]);
  EXPECT_EQ(c, 'y');
  return filho;
}

TEST(TravaInstancia, OneHolderAtATimeAndTheHoldersIdForTheOthers) {
  lumiford::teste::PastaTemporaria pasta{"instancia"};
  const std::string caminho = pasta / "lumiford_financeiro.trava";
  {
    auto primeira = TravaInstancia::Tomar(caminho);
    ASSERT_TRUE(primeira);
    EXPECT_EQ(TravaInstancia::Dono(caminho), std::to_string(::getpid()));
    // A second taker is refused, in this process as in any other.
    EXPECT_FALSE(TravaInstancia::Tomar(caminho));
  }
  // Released with its holder; the file stays, with the last holder's id.
  EXPECT_TRUE(std::filesystem::exists(caminho));
  auto de_novo = TravaInstancia::Tomar(caminho);
  EXPECT_TRUE(de_novo);
}

TEST(TravaInstancia, AKilledHolderNeverKeepsTheNextOneOut) {
  lumiford::teste::PastaTemporaria pasta{"instancia"};
  const std::string caminho = pasta / "lumiford_financeiro.trava";
  auto filho = SegurarInstancia(caminho);
  EXPECT_FALSE(TravaInstancia::Tomar(caminho));
  EXPECT_EQ(TravaInstancia::Dono(caminho), std::to_string(filho->Pid()));

  filho->Sinal(SIGKILL);
  EXPECT_EQ(filho->Esperar(), 128 + SIGKILL);
  auto trava = TravaInstancia::Tomar(caminho);
  ASSERT_TRUE(trava);
  EXPECT_EQ(TravaInstancia::Dono(caminho), std::to_string(::getpid()));
  EXPECT_EQ(LerBytes(caminho), std::to_string(::getpid()) + "\n") << "no digits of a longer id left behind";
}

TEST(TravaInstancia, APathThatIsNoFileIsAnError) {
  lumiford::teste::PastaTemporaria pasta{"instancia"};
  EXPECT_THROW(TravaInstancia::Tomar((pasta.caminho() / "não existe" / "x.trava").string()), std::system_error);
  std::filesystem::create_directory(pasta.caminho() / "pasta.trava");
  EXPECT_THROW(TravaInstancia::Tomar(pasta / "pasta.trava"), std::system_error);
}

// Processes that each add one to a number kept in the file, reading and
// writing it under the lock; one in ten puts a new file in the old one's
// place, as the log's rewrite does. Without the lock increments get lost.
TEST(TravaEscrita, ProcessesTakeTurnsAlsoWhenTheFileIsReplaced) {
  lumiford::teste::PastaTemporaria pasta{"trava-escrita"};
  const std::string caminho = pasta / "contador.txt";
  constexpr int processos = 4, vezes = 150;
  std::vector<std::unique_ptr<Filho>> filhos;
  for (int p = 0; p < processos; ++p)
    filhos.push_back(std::make_unique<Filho>([&caminho, p] {
      for (int i = 0; i < vezes; ++i) {
        const TravaEscrita trava = TravaEscrita::Tomar(caminho);
        if (!trava.Travada()) return 2;
        const std::string texto = LerBytes(caminho);
        const long valor = texto.empty() ? 0 : std::stol(texto);
        const std::string novo = std::to_string(valor + 1);
        if (i % 10 == p) {
          const std::string temporario = caminho + "." + std::to_string(p);
          std::ofstream(temporario, std::ios::binary | std::ios::trunc) << novo;
          RenomearArquivo(temporario, caminho);
        } else {
          std::ofstream(caminho, std::ios::binary | std::ios::trunc) << novo;
        }
      }
      return 0;
    }));
  for (auto& f : filhos) EXPECT_EQ(f->Esperar(60s), 0);
  EXPECT_EQ(LerBytes(caminho), std::to_string(processos * vezes));
}

TEST(TravaEscrita, AHolderThatNeverLetsGoIsWaitedForOnlyUpToTheLimit) {
  lumiford::teste::PastaTemporaria pasta{"trava-escrita"};
  const std::string caminho = pasta / "Log.txt";
  int tubo[2];
  ASSERT_EQ(::pipe(tubo), 0);
  Filho dono([&] {
    ::close(tubo[0]);
    const TravaEscrita trava = TravaEscrita::Tomar(caminho);
    const char c = trava.Travada() ? 'y' : 'n';
    (void)!::write(tubo[1], &c, 1);
    for (;;) ::pause();
    return 0;
  });
  ::close(tubo[1]);
  char c = 0;
  ASSERT_EQ(::read(tubo[0], &c, 1), 1);
  ::close(tubo[0]);
  ASSERT_EQ(c, 'y');
  EXPECT_TRUE(std::filesystem::exists(caminho)) << "the lock makes the file";

  EXPECT_FALSE(TravaEscrita::Tomar(caminho, 150).Travada());
  dono.Sinal(SIGKILL);
  dono.Esperar();
  const TravaEscrita trava = TravaEscrita::Tomar(caminho, 150);
  EXPECT_TRUE(trava.Travada());
  EXPECT_TRUE(trava.Sobre(*EstadoDoArquivo(caminho)));
}

TEST(TravaEscrita, APathThatCannotBeOpenedIsAnError) {
  lumiford::teste::PastaTemporaria pasta{"trava-escrita"};
  EXPECT_THROW(TravaEscrita::Tomar((pasta.caminho() / "não existe" / "Log.txt").string()), std::system_error);
  std::filesystem::create_directory(pasta.caminho() / "Log.txt");
  try {
    TravaEscrita::Tomar(pasta / "Log.txt");
    ADD_FAILURE() << "a directory was locked as a file";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::is_a_directory);
  }
}

}  // namespace
