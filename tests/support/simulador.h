// A stand-in for the supplier's web service: HTTP or HTTPS on 127.0.0.1 at
// an ephemeral port, on its own thread. It records every request exactly as
// the bytes arrived and answers from a script per endpoint path, including
// the ways a real server misbehaves.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumiford::teste {

// The supplier's endpoints, as the requests reach it (the path without the query).
inline const std::string kFaturado = "/financeiro/cliente/faturado";
inline const std::string kBoleto = "/financeiro/fatura/documento/boleto";
inline const std::string kNotaFiscal = "/financeiro/fatura/documento/nota-fiscal";
inline const std::string kFaturamento = "/financeiro/cliente/faturamento";

struct Resposta {
  enum class Enquadramento { Tamanho, Chunked, AteFechar };
  enum class Falha {
    Nenhuma,
    Reset,           // the connection is reset once the request is read
    SemResposta,     // closed without a byte of reply
    Lixo,            // bytes that are not HTTP, then closed
    ChunkedCortado,  // a chunked reply cut off in its first chunk
    ResetNoMeio,     // the head and the first half of the body, then a reset
  };

  int status = 200;
  std::string motivo = "OK";
  std::string corpo;
  std::string tipo = "application/json; charset=utf-8";
  Enquadramento enquadramento = Enquadramento::Tamanho;
  std::vector<std::string> set_cookie;                           // one Set-Cookie line each
  std::vector<std::pair<std::string, std::string>> cabecalhos;   // extra header lines (Location...)
  bool fechar = false;                                           // "Connection: close" and close after it
  bool fechar_em_silencio = false;                               // close after it without saying so
  Falha falha = Falha::Nenhuma;
  std::chrono::milliseconds atraso{0};                           // wait before answering
  std::uint64_t tamanho_gerado = 0;                              // when not 0: a body of this many 'x' instead of corpo

  static Resposta Json(std::string corpo) {
    Resposta r;
    r.corpo = std::move(corpo);
    return r;
  }
  static Resposta Status(int status, std::string motivo, std::string corpo) {
    Resposta r;
    r.status = status;
    r.motivo = std::move(motivo);
    r.corpo = std::move(corpo);
    return r;
  }
  static Resposta ComFalha(Falha falha) {
    Resposta r;
    r.falha = falha;
    return r;
  }
};

struct RequisicaoGravada {
  std::string bruto;    // head and body, byte for byte
  std::string cabeca;   // the head only, up to and including the empty line
  std::string corpo;    // the body only
  std::string caminho;  // request target up to "?"
  int conexao = 0;      // connections counted from 1 in the order accepted
  std::string sni;      // server name the client sent in the TLS handshake
};

class Simulador {
 public:
  enum class Certificado {
    Nenhum,        // plain http
    Confiavel,     // https, signed by the test CA, for 127.0.0.1 and localhost
    NaoConfiavel,  // https, self-signed, for 127.0.0.1 and localhost
    HostErrado,    // https, signed by the test CA, for another host name only
  };

  explicit Simulador(Certificado certificado = Certificado::Nenhum, std::uint16_t porta = 0);
  ~Simulador();
  Simulador(const Simulador&) = delete;
  Simulador& operator=(const Simulador&) = delete;

  std::uint16_t Porta() const;
  // "http://127.0.0.1:port" or "https://127.0.0.1:port".
  std::string Base() const;

  // Queues a reply for a path (without the query): each request takes the
  // next one; the last one stays for every later request.
  void Responder(const std::string& caminho, Resposta resposta);
  // Reply for paths without a script (at first 404 with an empty body).
  void ResponderPadrao(Resposta resposta);

  std::vector<RequisicaoGravada> Requisicoes() const;
  int Conexoes() const;
  // Called on the simulator's thread for every request, once it is recorded.
  void AoReceber(std::function<void(const RequisicaoGravada&)> aviso);

  // PEM of the test CA (the one that signs Confiavel and HostErrado).
  const std::string& CaPem() const;
  void GravarCa(const std::string& caminho) const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace lumiford::teste
