// The encoding of query values and the masking of the token in logged
// texts, on any bytes. An encoded value holds none of the characters that
// would end it or change its meaning and decodes back to the value; a masked
// text shows at most four characters of any token.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/chamada.h"
#include "global/funcoes.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  std::abort();
}

std::string Decodificar(const std::string& texto) {
  std::string saida;
  for (std::size_t i = 0; i < texto.size(); ++i) {
    if (texto[i] != '%') {
      saida += texto[i];
      continue;
    }
    if (i + 2 >= texto.size()) std::abort();
    saida += static_cast<char>(Hex(texto[i + 1]) * 16 + Hex(texto[i + 2]));
    i += 2;
  }
  return saida;
}

std::size_t Caracteres(const std::string& texto, std::size_t inicio, std::size_t fim) {
  std::size_t n = 0;
  for (std::size_t i = inicio; i < fim; ++i)
    if ((static_cast<unsigned char>(texto[i]) & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
  const std::string valor(reinterpret_cast<const char*>(dados), tamanho);

  const std::string codificado = CodificarValor(valor);
  for (const char c : codificado) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '&' || c == '=' || c == '#' || c == '+') std::abort();
  }
  if (Decodificar(codificado) != valor) std::abort();

  static const std::string kChave = "token_erp=";
  const std::string mascarado = MascararToken(valor);
  if (valor.find(kChave) == std::string::npos && mascarado != valor) std::abort();
  for (auto pos = mascarado.find(kChave); pos != std::string::npos; pos = mascarado.find(kChave, pos + 1)) {
    const std::size_t inicio = pos + kChave.size();
    // What is left of the token: up to four of its characters, then the mask.
    const std::size_t mascara = mascarado.find("****", inicio);
    if (mascara == std::string::npos) std::abort();
    if (Caracteres(mascarado, inicio, mascara) > 4) std::abort();
  }
  return 0;
}
