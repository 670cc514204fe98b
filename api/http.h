// The HTTP client of the data module: one request at a time, from the
// thread that runs the timers. Plain http or https (TLS 1.2 or newer, the
// server's certificate verified unless the settings say otherwise).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class CorpoMultipart;

// The web service answered with a status other than 2xx (3xx included:
// redirections are not followed).
class ErroHttpStatus : public std::runtime_error {
 public:
  ErroHttpStatus(int codigo, const std::string& linha_status, std::string corpo);
  int Codigo() const { return codigo_; }
  const std::string& LinhaStatus() const { return linha_status_; }
  const std::string& Corpo() const { return corpo_; }  // the error reply's body as text

 private:
  int codigo_;
  std::string linha_status_;
  std::string corpo_;
};

// The exchange itself failed: name resolution, refused connection, time-out,
// TLS, a reply that is not HTTP or is over the size limit, an address that
// cannot be used.
class ErroTransporte : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest reply body read; a longer one is a transport error.
inline constexpr std::uint64_t kLimiteResposta = 64ull * 1024 * 1024;

// How the client splits an address: scheme, host, port and the request
// target (path and query as composed, cut at a "#").
struct PartesEndereco {
  bool tls = false;
  std::string host;       // as written, brackets of an IPv6 literal included
  std::string host_rede;  // for name resolution
  std::uint16_t porta = 0;
  bool porta_padrao = true;
  std::string recurso;
  // Value of the "Host" header: the port only when it is not the scheme's default.
  std::string Host() const { return porta_padrao ? host : host + ":" + std::to_string(porta); }
};
// https (443) and http (80), in any letter case; any other scheme is plain
// http but needs a port. Throws ErroTransporte for an address it cannot use.
PartesEndereco SepararEndereco(const std::string& url);

// True when "VerificarCertificado" is exactly "Nao": the server's certificate
// is then taken without any check.
bool VerificacaoCertificadoDesligada();

class TIdHTTP {
 public:
  TIdHTTP();
  ~TIdHTTP();
  TIdHTTP(const TIdHTTP&) = delete;
  TIdHTTP& operator=(const TIdHTTP&) = delete;

  // Per-request settings that the flows write before their requests.
  struct TRequest {
    std::string Method;           // "POST" or "GET"
    std::string ContentType;      // "application/json" or "multipart/form-data"
    std::string ContentEncoding;  // "UTF-8"
  } Request;
  struct TResponse {
    std::string ContentType;  // expected type; never compared with the reply's
    std::string CharSet;      // reply bodies are decoded as UTF-8
  } Response;

  void ConnectTimeout(std::chrono::milliseconds valor);
  void ReadTimeout(std::chrono::milliseconds valor);
  std::chrono::milliseconds ConnectTimeout() const;
  std::chrono::milliseconds ReadTimeout() const;

  // GET over HTTP/1.1; the connection stays open when the reply allows it.
  std::string Get(const std::string& url);
  // POST over HTTP/1.0 on a fresh connection, with the UTF-8 bytes of the text.
  std::string Post(const std::string& url, const std::string& corpo_json);
  // POST of a multipart body, streamed; its type replaces Request.ContentType.
  std::string Post(const std::string& url, CorpoMultipart& corpo);

  void Disconnect();
  bool Connected() const;

  // Connects to the address's host (and negotiates TLS for https) without
  // sending any request, then closes. Returns what was reached, e.g.
  // "TLS 1.3, certificado verificado"; throws ErroTransporte.
  std::string TestarConexao(const std::string& url);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
