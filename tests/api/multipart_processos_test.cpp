// The file of a part written by another process (the ERP) while the body is
// being sent: a body made of two versions never goes out. Processes made
// with fork, so Linux only.
#include "api/multipart.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "tests/api/apoio.h"
#include "tests/support/filho.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;

class MultipartEntreProcessos : public AmbienteApi {};

std::string Conteudo(std::size_t tamanho) {
  std::string dados(tamanho, '\0');
  for (std::size_t i = 0; i < tamanho; ++i) dados[i] = static_cast<char>((i * 31 + 7) % 256);
  return dados;
}

TEST_F(MultipartEntreProcessos, ArquivoEscritoPorOutroProcessoDuranteOEnvio) {
  struct Caso {
    const char* nome;
    std::function<void(const std::string&)> erp;
    std::string falha;  // the error's text; empty: the whole body goes out
  };
  const std::string alterado = "O arquivo foi alterado durante o envio: " + (pasta / "boleto.pdf");
  const std::string original = Conteudo(300000);
  const auto escrever = [](const std::string& caminho, int flags, const std::string& dados, off_t onde) {
    const int fd = ::open(caminho.c_str(), flags);
    if (fd < 0) ::_exit(1);
    if (!dados.empty() && ::pwrite(fd, dados.data(), dados.size(), onde) != static_cast<ssize_t>(dados.size())) ::_exit(2);
    ::close(fd);
  };
  const std::vector<Caso> casos = {
      {"reescrito do início, mesmo tamanho",
       [&](const std::string& c) { escrever(c, O_WRONLY, std::string(original.size(), 'z'), 0); }, alterado},
      {"cresceu", [&](const std::string& c) { escrever(c, O_WRONLY | O_APPEND, "mais", 0); }, alterado},
      {"esvaziado e escrito de novo",
       [&](const std::string& c) { escrever(c, O_WRONLY | O_TRUNC, original.substr(0, 1000), 0); },
       "O arquivo ficou menor durante o envio."},
      {"só aberto para escrita", [&](const std::string& c) { escrever(c, O_WRONLY, "", 0); }, ""},
      {"renomeado", [&](const std::string& c) { (void)!::rename(c.c_str(), (c + ".velho").c_str()); }, ""},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    const std::string caminho = pasta / "boleto.pdf";
    std::filesystem::remove(caminho + ".velho");
    CriarArquivo(caminho, original);
    CorpoMultipart corpo;
    corpo.AdicionarArquivo("arquivo", caminho, "application/pdf");
    // Half of the body is out when the ERP writes.
    std::string enviado(static_cast<std::size_t>(corpo.Tamanho() / 2), '\0');
    std::size_t lidos = 0;
    while (lidos < enviado.size()) lidos += corpo.Ler(enviado.data() + lidos, enviado.size() - lidos);
    // Modification times count in the file system's steps: the write comes
    // in a later one.
    std::this_thread::sleep_for(20ms);
    Filho erp([&] {
      caso.erp(caminho);
      return 0;
    });
    ASSERT_EQ(erp.Esperar(), 0);
    const auto resto = [&] {
      char bloco[65536];
      std::string texto;
      while (const std::size_t n = corpo.Ler(bloco, sizeof bloco)) texto.append(bloco, n);
      return texto;
    };
    if (!caso.falha.empty()) {
      try {
        resto();
        ADD_FAILURE() << "the whole body was handed out";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), caso.falha);
      }
    } else {
      const std::string corpo_inteiro = enviado + resto();
      EXPECT_NE(corpo_inteiro.find(original), std::string::npos);
      EXPECT_EQ(corpo_inteiro.size(), corpo.Tamanho());
    }
  }
}

}  // namespace
}  // namespace lumiford::teste
