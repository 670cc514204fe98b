#include "global/servidor_banco.h"

#include "global/uglobal.h"

LocalBanco DecomporServidor(const std::string& texto) {
  std::size_t dois_pontos;
  if (!texto.empty() && texto[0] == '[') {
    const std::size_t fecha = texto.find(']');
    dois_pontos = fecha == std::string::npos ? std::string::npos : texto.find(':', fecha);
  } else {
    dois_pontos = texto.find(':');
  }
  if (dois_pontos == std::string::npos || dois_pontos == 0) return {"", texto};
  const bool letra = (texto[0] >= 'A' && texto[0] <= 'Z') || (texto[0] >= 'a' && texto[0] <= 'z');
  if (dois_pontos == 1 && letra) return {"", texto};
  return {texto.substr(0, dois_pontos), texto.substr(dois_pontos + 1)};
}

std::string PastaArquivosServidor() { return DecomporServidor(DiretorioServidor).pasta; }
