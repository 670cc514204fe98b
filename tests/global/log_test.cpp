// Log.txt byte for byte: the byte-order mark, CR LF line ends, line ends
// made of a message's raw CR or LF by the next call, and files we did not
// write ourselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "global/datas.h"
#include "global/log.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"
#include "tests/support/outro_processo.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/global/log_apoio.h"

namespace {

using namespace std::chrono;
using namespace std::string_literals;
using namespace lumiford::teste::log;

TEST_F(LogTest, FirstCallCreatesTheFileWithMarkAndOneLine) {
  GravarLog("Service - Start");
  EXPECT_EQ(Log(), BOM + P + "Service - Start\r\n");
  EXPECT_EQ(DiretorioExe, pasta.str());
  EXPECT_EQ(Arquivos(), std::vector<std::string>{"Log.txt"});
}

// Each message, then one more call: the bytes after the first call and after
// the second, which reads the first one's line back.
struct CasoMensagem {
  const char* nome;
  std::string mensagem;
  std::string depois_da_primeira;
  std::string depois_da_segunda;
};

TEST_F(LogTest, MessagesAndTheLinesTheyBecome) {
  const std::vector<CasoMensagem> casos = {
      {"vazia", "", " \r\n", " \r\n" + P + "fim\r\n"},
      {"um branco", " ", P + " \r\n", P + " \r\n" + P + "fim\r\n"},
      {"acentos", "Diretório Servidor.: Março", P + "Diretório Servidor.: Março\r\n",
       P + "Diretório Servidor.: Março\r\n" + P + "fim\r\n"},
      {"CR cru", "antes\rdepois", P + "antes\rdepois\r\n", P + "antes\r\ndepois\r\n" + P + "fim\r\n"},
      {"LF cru", "antes\ndepois", P + "antes\ndepois\r\n", P + "antes\r\ndepois\r\n" + P + "fim\r\n"},
      {"CR LF cru", "antes\r\ndepois", P + "antes\r\ndepois\r\n", P + "antes\r\ndepois\r\n" + P + "fim\r\n"},
      {"LF CR", "a\n\rb", P + "a\n\rb\r\n", P + "a\r\n\r\nb\r\n" + P + "fim\r\n"},
      {"falha de conexão", "Erro ao conectar na Base de Dados:\rbanco ausente\r\r",
       P + "Erro ao conectar na Base de Dados:\rbanco ausente\r\r\r\n",
       P + "Erro ao conectar na Base de Dados:\r\nbanco ausente\r\n\r\n\r\n" + P + "fim\r\n"},
      {"UTF-8 inválido", "a\xFF" "b\xE2\x82", P + "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\r\n",
       P + "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\r\n" + P + "fim\r\n"},
      {"NUL", "a\0b"s, P + "a\0b\r\n"s, P + "a\0b\r\n"s + P + "fim\r\n"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    std::filesystem::remove(pasta / "Log.txt");
    GravarLog(caso.mensagem);
    EXPECT_EQ(Log(), BOM + caso.depois_da_primeira);
    GravarLog("fim");
    EXPECT_EQ(Log(), BOM + caso.depois_da_segunda);
    GravarLog("outra");
    EXPECT_EQ(Log(), BOM + caso.depois_da_segunda + P + "outra\r\n");
  }
}

// A file that is there before the first call, written by someone else.
struct CasoArquivo {
  const char* nome;
  std::string antes;
  std::string depois;  // after GravarLog("novo"), the mark not included
};

TEST_F(LogTest, ExistingFilesAreReadBackAsLines) {
  const std::vector<CasoArquivo> casos = {
      {"vazio", "", P + "novo\r\n"},
      {"só a marca", BOM, P + "novo\r\n"},
      {"sem marca, ASCII", "linha 1\r\nlinha 2\r\n", "linha 1\r\nlinha 2\r\n" + P + "novo\r\n"},
      {"sem marca, LF", "a\nb\n", "a\r\nb\r\n" + P + "novo\r\n"},
      {"última linha sem fim", BOM + "a\r\nb", "a\r\nb\r\n" + P + "novo\r\n"},
      {"CR soltos", BOM + "a\rb\r", "a\r\nb\r\n" + P + "novo\r\n"},
      {"linhas vazias", BOM + "a\r\n\r\n\n\rb\r\n", "a\r\n\r\n\r\n\r\nb\r\n" + P + "novo\r\n"},
      {"termina em CR LF e CR", BOM + "a\r\n\r", "a\r\n\r\n" + P + "novo\r\n"},
      {"acentos sem marca", "Março\r\nçã\n", "Março\r\nçã\r\n" + P + "novo\r\n"},
      {"duas marcas", BOM + BOM + "a\r\n", BOM + "a\r\n" + P + "novo\r\n"},
      {"já normal", BOM + "a\r\nb\r\n", "a\r\nb\r\n" + P + "novo\r\n"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    GravarBytes(pasta / "Log.txt", caso.antes);
    GravarLog("novo");
    EXPECT_EQ(Log(), BOM + caso.depois);
    EXPECT_EQ(Arquivos(), std::vector<std::string>{"Log.txt"});
  }
}

// Changes made by others between two of our calls are noticed, whatever
// they keep of the file (even its size).
TEST_F(LogTest, ChangesBetweenCallsAreReadBack) {
  struct Caso {
    const char* nome;
    std::function<void(const std::string&)> mudar;
    std::string esperado;  // after the three calls a, (change), b; mark not included
  };
  const std::vector<Caso> casos = {
      {"linha com LF acrescentada",
       [](const std::string& c) { std::ofstream(c, std::ios::app | std::ios::binary) << "extra\nmais"; },
       P + "a\r\nextra\r\nmais\r\n" + P + "b\r\n"},
      {"mesmo tamanho, um byte trocado",
       [](const std::string& c) {
         std::fstream f(c, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(3 + 2);
         f.put('\n');
       },
       "09\r\n12/2026 14:05:09: a\r\n" + P + "b\r\n"},
      {"esvaziado", [](const std::string& c) { GravarBytes(c, ""); }, P + "b\r\n"},
      {"apagado", [](const std::string& c) { std::filesystem::remove(c); }, P + "b\r\n"},
      {"trocado por outro sem marca", [](const std::string& c) {
         GravarBytes(c + ".x", "outro\n");
         std::filesystem::rename(c + ".x", c);
       },
       "outro\r\n" + P + "b\r\n"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    std::filesystem::remove(pasta / "Log.txt");
    GravarLog("a");
    // File times move with the file system's coarse clock: a change within
    // the same tick and of the same size would look like no change at all.
    std::this_thread::sleep_for(20ms);
    caso.mudar(pasta / "Log.txt");
    GravarLog("b");
    EXPECT_EQ(Log(), BOM + caso.esperado);
  }
}

TEST_F(LogTest, ManyCallsGiveExactlyTheirLinesInOrder) {
  std::string esperado = BOM + "antigo\r\n";
  GravarBytes(pasta / "Log.txt", "antigo\n");
  for (int i = 0; i < 500; ++i) {
    const std::string m = i % 50 == 7 ? "quebra " + std::to_string(i) + "\rfim" : "linha " + std::to_string(i);
    GravarLog(m);
    esperado += P + (i % 50 == 7 ? "quebra " + std::to_string(i) + "\r\nfim" : m) + "\r\n";
  }
  EXPECT_EQ(Log(), esperado);
}

TEST_F(LogTest, LinesTakeTheClockOfTheirCall) {
  DataHora agora = local_days{2024y / 2 / 29} + 23h + 59min + 59s + 999ms;
  DefinirRelogio([&] { return agora; });
  GravarLog("um");
  GravarLog("dois");
  agora += 1ms;
  GravarLog("três");
  EXPECT_EQ(Log(), BOM + "29/02/2024 23:59:59: um\r\n29/02/2024 23:59:59: dois\r\n01/03/2024 00:00:00: três\r\n");
}

TEST_F(LogTest, CallsFromSeveralThreadsNeverOverlap) {
  constexpr int threads = 4, chamadas = 150;
  std::vector<std::thread> grupo;
  for (int t = 0; t < threads; ++t)
    grupo.emplace_back([t] {
      for (int i = 0; i < chamadas; ++i) GravarLog(std::string(1, 't').append(std::to_string(t)).append(" ").append(std::to_string(i)));
    });
  for (auto& th : grupo) th.join();

  const std::string log = Log();
  ASSERT_TRUE(log.starts_with(BOM));
  std::istringstream linhas(log.substr(3));
  std::set<std::string> vistas;
  std::vector<int> proximo(threads, 0);
  std::string linha;
  while (std::getline(linhas, linha)) {
    ASSERT_TRUE(linha.ends_with("\r")) << linha;
    linha.pop_back();
    ASSERT_TRUE(linha.starts_with(P)) << linha;
    const std::string m = linha.substr(P.size());
    const int t = m[1] - '0';
    EXPECT_EQ(m, "t" + std::to_string(t) + " " + std::to_string(proximo[t]++));  // each thread in its order
    vistas.insert(m);
  }
  EXPECT_EQ(vistas.size(), static_cast<std::size_t>(threads * chamadas));
}

// A file that is there but is no log we can read is kept aside, unchanged,
// and the new log starts with the reason instead of the message.
TEST_F(LogTest, InvalidUtf8FileIsKeptAsideAndReported) {
  struct Caso {
    const char* nome;
    std::string bytes;
    int posicao;
  };
  const std::vector<Caso> casos = {
      {"byte FF", BOM + "linha boa\r\n\xFF\r\n", 14},
      {"forma longa", "ab\xC0\xAF", 2},
      {"metade de um par UTF-16", "\xED\xA0\x80", 0},
      {"sequência cortada no fim", "linha\r\nabc\xE2\x82", 10},
      {"acima de U+10FFFF", "x\xF4\x90\x80\x80", 1},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    lumiford::teste::PastaTemporaria outra{"log-invalido"};
    SubstituirDiretorioExecutavel(outra.str());
    GravarBytes(outra / "Log.txt", caso.bytes);
    GravarLog("mensagem perdida?");
    EXPECT_EQ(LerBytes(outra / "Log.txt"),
              BOM + P + "Erro ao ler Log.txt: o conteúdo não é UTF-8 válido na posição " +
                  std::to_string(caso.posicao) + " (arquivo anterior preservado como Log-20261209-140509.txt)\r\n");
    EXPECT_EQ(LerBytes(outra / "Log-20261209-140509.txt"), caso.bytes);

    // The next call goes on from the new log; a second bad file in the same
    // second gets a name of its own.
    GravarLog("segue");
    EXPECT_TRUE(LerBytes(outra / "Log.txt").ends_with(".txt)\r\n" + P + "segue\r\n"));
    GravarBytes(outra / "Log.txt", caso.bytes);
    GravarLog("de novo");
    EXPECT_EQ(LerBytes(outra / "Log-20261209-140509-2.txt"), caso.bytes);
    EXPECT_EQ(LerBytes(outra / "Log-20261209-140509.txt"), caso.bytes);
  }
}

// A program that holds the log open for writing (an editor, a backup agent)
// never splits it: the line goes at the end, where that program's writes
// go as well, and the file is neither rewritten nor moved aside meanwhile.
TEST_F(LogTest, AFileHeldByAnotherWriterGetsTheLineAtItsEnd) {
  struct Caso {
    const char* nome;
    std::string antes;     // the file when the other program opens it
    std::string esperado;  // our line as it lands after it
  };
  const std::vector<Caso> casos = {
      {"em forma", BOM + P + "antes\r\n", P + "durante\r\n"},
      {"última linha aberta", BOM + P + "antes\r\nmeia linha", "\r\n" + P + "durante\r\n"},
      {"fim em LF", "de outro programa\n", P + "durante\r\n"},
      {"vazio", "", BOM + P + "durante\r\n"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    lumiford::teste::PastaTemporaria outra{"log-preso"};
    SubstituirDiretorioExecutavel(outra.str());
    GravarBytes(outra / "Log.txt", caso.antes);
    {
      lumiford::teste::ArquivoAbertoEmOutroProcesso escritor(outra.str() + "/Log.txt", O_WRONLY | O_APPEND,
                                                           "escrito depois\r\n");
      ASSERT_TRUE(escritor.Aberto());
      GravarLog("durante");
      escritor.Soltar();
    }
    EXPECT_EQ(LerBytes(outra / "Log.txt"), caso.antes + caso.esperado + "escrito depois\r\n");
    std::vector<std::string> nomes;
    for (const auto& e : std::filesystem::directory_iterator(outra.caminho())) nomes.push_back(e.path().filename().string());
    EXPECT_EQ(nomes, std::vector<std::string>{"Log.txt"});

    // With the writer gone, the next call puts the file in the normal form.
    GravarLog("depois");
    const std::string log = LerBytes(outra / "Log.txt");
    EXPECT_TRUE(log.starts_with(BOM)) << log;
    EXPECT_TRUE(log.ends_with(P + "durante\r\nescrito depois\r\n" + P + "depois\r\n")) << log;
  }
}

TEST_F(LogTest, AFileThatCannotBeWrittenIsTheCallersError) {
  {
    SubstituirDiretorioExecutavel(pasta / "não existe");
    EXPECT_THROW(GravarLog("x"), std::system_error);
  }
  {
    SubstituirDiretorioExecutavel(pasta.str());
    std::filesystem::create_directory(pasta / "Log.txt");
    EXPECT_THROW(GravarLog("x"), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(pasta / "Log.txt"));
  }
}

TEST_F(LogTest, ARewriteLeavesNoTemporaryFileBehind) {
  GravarBytes(pasta / "Log.txt", "sem marca\n");
  GravarLog("a");
  GravarLog("b\rc");
  GravarLog("d");
  EXPECT_EQ(Arquivos(), std::vector<std::string>{"Log.txt"});
  EXPECT_EQ(Log(), BOM + "sem marca\r\n" + P + "a\r\n" + P + "b\r\nc\r\n" + P + "d\r\n");
}

TEST_F(LogTest, ALogThatIsALinkStaysALink) {
  lumiford::teste::PastaTemporaria destino{"log-destino"};
  GravarBytes(destino / "atividade.txt", "antigo\n");
  std::error_code sem_links;
  std::filesystem::create_symlink(destino / "atividade.txt", pasta / "Log.txt", sem_links);
  if (sem_links) GTEST_SKIP() << "no symbolic links here: " << sem_links.message();
  GravarLog("a");
  GravarLog("b");
  EXPECT_TRUE(std::filesystem::is_symlink(pasta / "Log.txt"));
  EXPECT_EQ(LerBytes(destino / "atividade.txt"), BOM + "antigo\r\n" + P + "a\r\n" + P + "b\r\n");
}

}  // namespace
