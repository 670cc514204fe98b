#include "api/multipart.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "global/datas.h"
#include "global/funcoes.h"

namespace {

const char* const kCrlf = "\r\n";

std::string DoisDigitos(unsigned valor) {
  char texto[8];
  std::snprintf(texto, sizeof texto, "%02u", valor % 100);
  return texto;
}

// "--------" then month, day, year (2 digits), hour, minute, second, millisecond.
std::string GerarBoundary() {
  const DataHora agora = Agora();
  const auto dia = std::chrono::floor<std::chrono::days>(agora);
  const std::chrono::year_month_day data{dia};
  const std::chrono::hh_mm_ss hora{agora - dia};
  char milis[8];
  std::snprintf(milis, sizeof milis, "%03u", static_cast<unsigned>(hora.subseconds().count() % 1000));
  const int ano = static_cast<int>(data.year());
  return "--------" + DoisDigitos(static_cast<unsigned>(data.month())) + DoisDigitos(static_cast<unsigned>(data.day())) +
         DoisDigitos(static_cast<unsigned>(((ano % 100) + 100) % 100)) +
         DoisDigitos(static_cast<unsigned>(hora.hours().count())) +
         DoisDigitos(static_cast<unsigned>(hora.minutes().count())) +
         DoisDigitos(static_cast<unsigned>(hora.seconds().count())) + milis;
}

bool AsciiImprimivel(const std::string& texto) {
  return std::all_of(texto.begin(), texto.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 32 && b <= 126;
  });
}

std::string Base64(const std::string& dados) {
  std::string saida(4 * ((dados.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(saida.data()),
                                reinterpret_cast<const unsigned char*>(dados.data()), static_cast<int>(dados.size()));
  saida.resize(static_cast<std::size_t>(n));
  return saida;
}

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
std::size_t TamanhoSequencia(unsigned char b) {
  if (b >= 0xF0 && b <= 0xF7) return 4;
  if (b >= 0xE0) return 3;
  if (b >= 0xC0) return 2;
  return 1;
}

// Splits "type; charset=x" into the type and the charset; a text type
// without one gets "us-ascii".
void SepararCharset(const std::string& tipo_dado, std::string& tipo, std::string& charset) {
  tipo.clear();
  charset.clear();
  std::size_t inicio = 0;
  bool primeiro = true;
  while (inicio <= tipo_dado.size()) {
    auto fim = tipo_dado.find(';', inicio);
    if (fim == std::string::npos) fim = tipo_dado.size();
    const std::string item = Trim(tipo_dado.substr(inicio, fim - inicio));
    if (primeiro) {
      tipo = item;
      primeiro = false;
    } else if (!item.empty()) {
      const auto igual = item.find('=');
      const std::string nome = MinusculasAscii(Trim(item.substr(0, igual)));
      if (nome == "charset" && igual != std::string::npos) {
        std::string valor = Trim(item.substr(igual + 1));
        if (valor.size() >= 2 && valor.front() == '"' && valor.back() == '"') valor = valor.substr(1, valor.size() - 2);
        charset = valor;
      } else {
        tipo += "; " + item;
      }
    }
    inicio = fim + 1;
  }
  if (charset.empty() && MinusculasAscii(tipo).rfind("text/", 0) == 0) charset = "us-ascii";
}

}  // namespace

std::string NomeArquivoParte(const std::string& caminho) {
  const auto pos = caminho.find_last_of("\\:/");
  return pos == std::string::npos ? caminho : caminho.substr(pos + 1);
}

std::string NomeCabecalhoParte(const std::string& nome) {
  // A quote or a backslash would end or escape the quoted header value.
  if (AsciiImprimivel(nome) && nome.find_first_of("\"\\") == std::string::npos) return nome;
  // Encoded words hold at most 75 characters and whole characters only: 45
  // bytes of text give 60 of base64 plus the 12 of the frame.
  constexpr std::size_t kBytesPorPalavra = 45;
  std::string saida;
  std::size_t inicio = 0;
  while (inicio < nome.size()) {
    std::size_t fim = inicio;
    while (fim < nome.size()) {
      std::size_t seq = TamanhoSequencia(static_cast<unsigned char>(nome[fim]));
      seq = std::min(seq, nome.size() - fim);
      if (fim + seq - inicio > kBytesPorPalavra) break;
      fim += seq;
    }
    if (!saida.empty()) saida += ' ';
    saida += "=?UTF-8?B?" + Base64(nome.substr(inicio, fim - inicio)) + "?=";
    inicio = fim;
  }
  return saida;
}

CorpoMultipart::CorpoMultipart()
    : boundary_(GerarBoundary()),
      content_type_("multipart/form-data; boundary=" + boundary_),
      fechamento_("--" + boundary_ + "--" + kCrlf) {}

CorpoMultipart::~CorpoMultipart() = default;

void CorpoMultipart::AdicionarArquivo(const std::string& campo, const std::string& caminho, const std::string& tipo) {
  Parte parte;
  parte.arquivo = ArquivoLeitura::AbrirSemEscritores(caminho);
  parte.caminho = caminho;
  parte.estado = parte.arquivo.Estado();
  parte.tamanho = parte.estado.tamanho;

  std::string tipo_parte, charset;
  SepararCharset(tipo, tipo_parte, charset);
  const std::string nome_arquivo = NomeArquivoParte(caminho);

  std::string& c = parte.cabecalho;
  c = "--" + boundary_ + kCrlf;
  c += "Content-Disposition: form-data; name=\"" + NomeCabecalhoParte(campo) + "\"";
  if (!nome_arquivo.empty()) c += "; filename=\"" + NomeCabecalhoParte(nome_arquivo) + "\"";
  c += kCrlf;
  if (!tipo_parte.empty()) {
    c += "Content-Type: " + tipo_parte;
    if (!charset.empty()) c += "; charset=\"" + charset + "\"";
    c += kCrlf;
  }
  c += std::string("Content-Transfer-Encoding: binary") + kCrlf;
  c += kCrlf;
  partes_.push_back(std::move(parte));
}

std::uint64_t CorpoMultipart::Tamanho() const {
  std::uint64_t total = fechamento_.size();
  for (const auto& p : partes_) total += p.cabecalho.size() + p.tamanho + 2;
  return total;
}

std::size_t CorpoMultipart::Ler(char* destino, std::size_t n) {
  std::size_t entregue = 0;
  // Walk the segments (header, file, CRLF per part, then the closing line)
  // to find the one that holds the current position.
  auto copiar_texto = [&](const std::string& texto, std::uint64_t base) {
    if (posicao_ < base || posicao_ >= base + texto.size() || entregue == n) return;
    const auto desloc = static_cast<std::size_t>(posicao_ - base);
    const std::size_t k = std::min(n - entregue, texto.size() - desloc);
    std::copy_n(texto.data() + desloc, k, destino + entregue);
    entregue += k;
    posicao_ += k;
  };
  std::uint64_t base = 0;
  for (const auto& p : partes_) {
    copiar_texto(p.cabecalho, base);
    base += p.cabecalho.size();
    while (entregue < n && posicao_ >= base && posicao_ < base + p.tamanho) {
      const std::uint64_t resta = base + p.tamanho - posicao_;
      const auto pedido = static_cast<std::size_t>(std::min<std::uint64_t>(n - entregue, resta));
      const std::size_t lidos = p.arquivo.LerEm(posicao_ - base, destino + entregue, pedido);
      if (lidos == 0) throw std::runtime_error("O arquivo ficou menor durante o envio.");
      entregue += lidos;
      posicao_ += lidos;
      if (posicao_ == base + p.tamanho) ConferirInalterado(p);
    }
    base += p.tamanho;
    copiar_texto(kCrlf, base);
    base += 2;
  }
  copiar_texto(fechamento_, base);
  return entregue;
}

void CorpoMultipart::ConferirInalterado(const Parte& parte) {
  // The content's own marks, size and modification time: a writer that
  // opened the file after our test has changed them. Not the change time,
  // which a rename or a removal moves too: those leave the bytes we send
  // whole.
  const EstadoArquivo agora = parte.arquivo.Estado();
  if (agora.tamanho != parte.estado.tamanho || agora.modificacao_ns != parte.estado.modificacao_ns)
    throw std::runtime_error("O arquivo foi alterado durante o envio: " + parte.caminho);
}

std::string CorpoMultipart::Texto() {
  Reiniciar();
  std::string texto;
  texto.reserve(static_cast<std::size_t>(Tamanho()));
  char bloco[65536];
  while (const std::size_t n = Ler(bloco, sizeof bloco)) texto.append(bloco, n);
  Reiniciar();
  return texto;
}
