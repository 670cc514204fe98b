// The multipart body of the uploads: its exact bytes, its size, the file
// names in the part header, re-reading, and the file it keeps open.
#include "api/multipart.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "tests/api/apoio.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

const std::string kCrlf = "\r\n";

class Multipart : public AmbienteApi {
 protected:
  void FixarRelogio(DataHora instante) {
    DefinirRelogio([instante] { return instante; });
  }
};

DataHora Instante(year_month_day dia, milliseconds hora) { return local_days{dia} + hora; }

std::string Conteudo(std::size_t tamanho) {
  std::string dados(tamanho, '\0');
  for (std::size_t i = 0; i < tamanho; ++i) dados[i] = static_cast<char>((i * 31 + 7) % 256);
  return dados;
}

TEST_F(Multipart, CorpoDoExemploComBoundaryDoRelogio) {
  FixarRelogio(Instante(2025y / March / 7, 14h + 5min + 9s + 42ms));
  const std::string dados = Conteudo(50000);
  CriarArquivo(pasta / "CM 1234-1.pdf", dados);

  CorpoMultipart corpo;
  corpo.AdicionarArquivo("arquivo", pasta / "CM 1234-1.pdf", "application/octet-stream");

  const std::string b = "--------030725140509042";
  EXPECT_EQ(corpo.Boundary(), b);
  EXPECT_EQ(corpo.ContentType(), "multipart/form-data; boundary=" + b);
  EXPECT_EQ(corpo.Tamanho(), 50209u);
  EXPECT_EQ(corpo.Texto(), "--" + b + kCrlf +
                               "Content-Disposition: form-data; name=\"arquivo\"; filename=\"CM 1234-1.pdf\"" + kCrlf +
                               "Content-Type: application/octet-stream" + kCrlf +
                               "Content-Transfer-Encoding: binary" + kCrlf + kCrlf + dados + kCrlf + "--" + b + "--" +
                               kCrlf);
}

TEST_F(Multipart, BoundaryComZerosAEsquerdaEIgualNoMesmoMilissegundo) {
  FixarRelogio(Instante(2009y / January / 2, 3h + 4min + 5s + 6ms));
  CorpoMultipart a;
  CorpoMultipart b;
  EXPECT_EQ(a.Boundary(), "--------010209030405006");
  EXPECT_EQ(a.Boundary(), b.Boundary());
  // Without parts the body is the closing line alone.
  EXPECT_EQ(a.Texto(), "----------010209030405006--\r\n");
  EXPECT_EQ(a.Tamanho(), a.Boundary().size() + 6);
}

struct CasoNome {
  std::string arquivo;  // name of the file created in the test directory
  std::string disposicao;
};

TEST_F(Multipart, NomeDoArquivoNoCabecalhoDaParte) {
  // The names below are one file each only where "\\" and ":" are no
  // separators; where they are (Windows), they are paths, not names.
  if (std::filesystem::path("a\\b").has_parent_path() || std::filesystem::path("C:a").has_root_name())
    GTEST_SKIP() << "these names are paths here";
  const std::string base = "Content-Disposition: form-data; name=\"arquivo\"";
  const CasoNome casos[] = {
      {"CM 1234-1.pdf", base + "; filename=\"CM 1234-1.pdf\""},
      // Paths written the Windows way: the name is what follows the last backslash or colon.
      {"Boleto\\12345678000195\\CM 1-2.pdf", base + "; filename=\"CM 1-2.pdf\""},
      {"C:nota.xml", base + "; filename=\"nota.xml\""},
      {"termina em barra\\", base},
      {"Relatório março.pdf", base + "; filename=\"=?UTF-8?B?UmVsYXTDs3JpbyBtYXLDp28ucGRm?=\""},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.arquivo);
    const std::string conteudo = Conteudo(123);
    CriarArquivo(pasta / caso.arquivo, conteudo);
    CorpoMultipart corpo;
    corpo.AdicionarArquivo("arquivo", pasta / caso.arquivo, "application/octet-stream");
    const std::string texto = corpo.Texto();
    const std::string linha2 = texto.substr(texto.find(kCrlf) + 2);
    EXPECT_EQ(linha2.substr(0, linha2.find(kCrlf)), caso.disposicao);
    EXPECT_EQ(corpo.Tamanho(), texto.size());
    const std::string nome = NomeArquivoParte(caso.arquivo);
    EXPECT_EQ(corpo.Tamanho(), 196 + NomeCabecalhoParte(nome).size() - (nome.empty() ? 13 : 0) + conteudo.size());
  }
}

TEST(NomeArquivoParte, UltimoComponenteDoCaminho) {
  const std::pair<std::string, std::string> casos[] = {
      {"arquivo.pdf", "arquivo.pdf"}, {"/srv/erp/Boleto/1/2/CM 1-1.pdf", "CM 1-1.pdf"},
      {"C:\\ERP\\Boleto\\CM 9-3.pdf", "CM 9-3.pdf"}, {"C:y.xml", "y.xml"},
      {"pasta\\", ""}, {"", ""},
  };
  for (const auto& [caminho, nome] : casos) EXPECT_EQ(NomeArquivoParte(caminho), nome) << caminho;
}

std::string DecodificarBase64(const std::string& texto) {
  std::string saida(texto.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(saida.data()),
                                reinterpret_cast<const unsigned char*>(texto.data()), static_cast<int>(texto.size()));
  saida.resize(static_cast<std::size_t>(n) - std::count(texto.end() - 2, texto.end(), '='));
  return saida;
}

TEST(NomeCabecalhoParte, PalavrasCodificadasCurtasComCaracteresInteiros) {
  EXPECT_EQ(NomeCabecalhoParte("CM 1234-1.pdf"), "CM 1234-1.pdf");
  EXPECT_EQ(NomeCabecalhoParte("çã"), "=?UTF-8?B?w6fDow==?=");
  // A tab is not printable: the name is encoded too.
  EXPECT_EQ(NomeCabecalhoParte("a\tb").rfind("=?UTF-8?B?", 0), 0u);

  std::string longo;
  for (int i = 0; i < 40; ++i) longo += "ção-";
  const std::string codificado = NomeCabecalhoParte(longo);
  std::string juntado;
  std::size_t palavras = 0;
  for (std::size_t inicio = 0; inicio < codificado.size();) {
    auto fim = codificado.find(' ', inicio);
    if (fim == std::string::npos) fim = codificado.size();
    const std::string palavra = codificado.substr(inicio, fim - inicio);
    ++palavras;
    EXPECT_LE(palavra.size(), 75u);
    ASSERT_EQ(palavra.rfind("=?UTF-8?B?", 0), 0u);
    ASSERT_EQ(palavra.substr(palavra.size() - 2), "?=");
    const std::string pedaco = DecodificarBase64(palavra.substr(10, palavra.size() - 12));
    // Each word holds whole characters: it never starts with a continuation byte.
    EXPECT_NE(static_cast<unsigned char>(pedaco[0]) & 0xC0, 0x80);
    juntado += pedaco;
    inicio = fim + 1;
  }
  EXPECT_GT(palavras, 1u);
  EXPECT_EQ(juntado, longo);
}

struct CasoTipo {
  std::string tipo;
  std::string linha;  // the part's Content-Type line, empty when there is none
};

TEST_F(Multipart, TipoECharsetDaParte) {
  const CasoTipo casos[] = {
      {"application/octet-stream", "Content-Type: application/octet-stream"},
      {"text/plain", "Content-Type: text/plain; charset=\"us-ascii\""},
      {"application/xml; charset=UTF-8", "Content-Type: application/xml; charset=\"UTF-8\""},
      {"text/xml; Charset=\"iso-8859-1\"", "Content-Type: text/xml; charset=\"iso-8859-1\""},
      {"", ""},
  };
  CriarArquivo(pasta / "nota.xml", "<xml/>");
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.tipo);
    CorpoMultipart corpo;
    corpo.AdicionarArquivo("arquivo", pasta / "nota.xml", caso.tipo);
    const std::string texto = corpo.Texto();
    const std::string esperado = caso.linha.empty() ? "" : caso.linha + kCrlf;
    const auto inicio = texto.find(".xml\"\r\n") + 7;
    EXPECT_EQ(texto.substr(inicio, texto.find("Content-Transfer-Encoding") - inicio), esperado);
    EXPECT_EQ(corpo.Tamanho(), texto.size());
  }
}

TEST_F(Multipart, ArquivoVazio) {
  FixarRelogio(Instante(2025y / March / 7, 14h + 5min + 9s + 42ms));
  CriarArquivo(pasta / "CM 1-1.pdf", "");
  CorpoMultipart corpo;
  corpo.AdicionarArquivo("arquivo", pasta / "CM 1-1.pdf", "application/octet-stream");
  EXPECT_EQ(corpo.Tamanho(), 196u + std::string("CM 1-1.pdf").size());
  const std::string texto = corpo.Texto();
  EXPECT_EQ(texto.substr(texto.size() - 41), "binary\r\n\r\n\r\n----------030725140509042--\r\n");
}

TEST_F(Multipart, CadaLeituraDoInicioDaOsMesmosBytesEmQualquerPasso) {
  CriarArquivo(pasta / "a.pdf", Conteudo(200001));
  CorpoMultipart corpo;
  corpo.AdicionarArquivo("arquivo", pasta / "a.pdf", "application/octet-stream");
  const std::string inteiro = corpo.Texto();
  ASSERT_EQ(inteiro.size(), corpo.Tamanho());
  for (const std::size_t passo : {1u, 7u, 4096u, 65536u, 1000000u}) {
    SCOPED_TRACE(passo);
    corpo.Reiniciar();
    std::string lido;
    std::string bloco(passo, '\0');
    while (const std::size_t n = corpo.Ler(bloco.data(), passo)) lido.append(bloco, 0, n);
    EXPECT_EQ(lido, inteiro);
    EXPECT_EQ(corpo.Ler(bloco.data(), passo), 0u);
  }
  EXPECT_EQ(corpo.Texto(), inteiro);
}

std::size_t DescritoresAbertos() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                std::filesystem::directory_iterator{}));
}

TEST_F(Multipart, ArquivoAbertoAoAdicionarEFechadoComOCorpo) {
  // On Windows (under Wine) /proc/self/fd lists the emulator's descriptors,
  // which come and go on their own; the count means something only here.
  if (std::filesystem::path("C:a").has_root_name()) GTEST_SKIP() << "no descriptor table of our own to count";
  CriarArquivo(pasta / "a.pdf", "abc");
  const std::size_t antes = DescritoresAbertos();
  {
    CorpoMultipart corpo;
    corpo.AdicionarArquivo("arquivo", pasta / "a.pdf", "application/octet-stream");
    EXPECT_EQ(DescritoresAbertos(), antes + 1);
    // Removing the file after it was added does not spoil the body.
    std::filesystem::remove(pasta / "a.pdf");
    EXPECT_NE(corpo.Texto().find("\r\n\r\nabc\r\n"), std::string::npos);
  }
  EXPECT_EQ(DescritoresAbertos(), antes);
}

TEST_F(Multipart, ArquivoQueNaoPodeSerAbertoNaoEntraNoCorpo) {
  CriarArquivo(pasta / "em uso.pdf", "parcial");
  std::ofstream escritor(pasta / "em uso.pdf", std::ios::app);  // a writer holds the file open
  ASSERT_TRUE(escritor.is_open());

  CorpoMultipart corpo;
  const std::string so_fechamento = corpo.Texto();
  for (const std::string& caminho : {pasta / "em uso.pdf", pasta / "nao existe.pdf"}) {
    SCOPED_TRACE(caminho);
    EXPECT_THROW(corpo.AdicionarArquivo("arquivo", caminho, "application/octet-stream"), std::system_error);
    EXPECT_EQ(corpo.Texto(), so_fechamento);
  }
  escritor.close();
  EXPECT_NO_THROW(corpo.AdicionarArquivo("arquivo", pasta / "em uso.pdf", "application/octet-stream"));
}

TEST_F(Multipart, ArquivoQueEncolheDepoisDeAdicionadoFalhaNaLeitura) {
  CriarArquivo(pasta / "a.pdf", Conteudo(1000));
  CorpoMultipart corpo;
  corpo.AdicionarArquivo("arquivo", pasta / "a.pdf", "application/octet-stream");
  std::error_code preso;
  std::filesystem::resize_file(pasta / "a.pdf", 10, preso);
  // Where an open file cannot be shortened by others (Windows), this cannot happen.
  if (preso) GTEST_SKIP() << "the open file cannot be shortened here: " << preso.message();
  EXPECT_THROW(corpo.Texto(), std::runtime_error);
}

// The ERP writing the boleto again while it is being sent (another
// process, after our test of "no other writer"): the body fails before its
// last bytes, so no request with a mix of the two versions is ever complete.
// A writer that only opened the file, or a file renamed or removed meanwhile,
// leaves the bytes whole.
}  // namespace
}  // namespace lumiford::teste
