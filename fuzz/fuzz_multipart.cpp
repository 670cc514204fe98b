// Names that go into a part header, on any bytes: the last component of a
// path, and the header form of a name. A header name must stay inside its
// quoted header value: printable ASCII without a quote or a backslash, or
// encoded words of at most 75 characters that decode to the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <openssl/evp.h>

#include "api/multipart.h"

namespace {

bool Imprimivel(const std::string& texto) {
  for (const char c : texto) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b > 126 || c == '"' || c == '\\') return false;
  }
  return true;
}

std::string DecodificarBase64(const std::string& texto) {
  std::string saida(texto.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(saida.data()),
                                reinterpret_cast<const unsigned char*>(texto.data()), static_cast<int>(texto.size()));
  if (n < 0) std::abort();
  saida.resize(static_cast<std::size_t>(n));
  // EVP_DecodeBlock keeps the bytes that the padding stands for.
  if (texto.ends_with("==")) saida.resize(saida.size() - 2);
  else if (texto.ends_with("=")) saida.resize(saida.size() - 1);
  return saida;
}

// The text behind encoded words separated by one blank.
std::string Decodificar(const std::string& cabecalho) {
  static const std::string kAbre = "=?UTF-8?B?", kFecha = "?=";
  std::string texto;
  std::size_t i = 0;
  while (i < cabecalho.size()) {
    if (i > 0) {
      if (cabecalho[i] != ' ') std::abort();
      ++i;
    }
    if (cabecalho.compare(i, kAbre.size(), kAbre) != 0) std::abort();
    const std::size_t fim = cabecalho.find(kFecha, i + kAbre.size());
    if (fim == std::string::npos) std::abort();
    if (fim + kFecha.size() - i > 75) std::abort();
    texto += DecodificarBase64(cabecalho.substr(i + kAbre.size(), fim - i - kAbre.size()));
    i = fim + kFecha.size();
  }
  return texto;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
  const std::string nome(reinterpret_cast<const char*>(dados), tamanho);

  const std::string arquivo = NomeArquivoParte(nome);
  if (arquivo.find_first_of("\\:/") != std::string::npos) std::abort();
  if (!nome.ends_with(arquivo)) std::abort();

  const std::string cabecalho = NomeCabecalhoParte(nome);
  if (!Imprimivel(cabecalho)) std::abort();
  if (Imprimivel(nome)) {
    if (cabecalho != nome) std::abort();
  } else if (Decodificar(cabecalho) != nome) {
    std::abort();
  }
  return 0;
}
