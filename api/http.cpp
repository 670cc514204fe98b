#include "api/http.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "api/multipart.h"
#include "global/funcoes.h"
#include "global/uglobal.h"
#include "plataforma/arquivos.h"
#include "plataforma/certificados.h"
#include "plataforma/rede.h"

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

const char* const kAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
const char* const kUserAgent = "Mozilla/3.0 (compatible; Indy Library)";
const char* const kCrlf = "\r\n";

// Request line and header lines go out as 7-bit text: every character
// outside printable ASCII becomes "?" (a control could split the header).
std::string Texto7Bits(const std::string& texto) {
  std::string saida;
  saida.reserve(texto.size());
  for (std::size_t i = 0; i < texto.size();) {
    const auto b = static_cast<unsigned char>(texto[i]);
    if (b < 0x80) {
      saida += (b < 0x20 || b == 0x7F) ? '?' : static_cast<char>(b);
      ++i;
      continue;
    }
    // One "?" per character: skip the continuation bytes of the sequence.
    ++i;
    if (b >= 0xC0)
      while (i < texto.size() && (static_cast<unsigned char>(texto[i]) & 0xC0) == 0x80) ++i;
    saida += '?';
  }
  return saida;
}

}  // namespace

PartesEndereco SepararEndereco(const std::string& url) {
  const auto sep = url.find("://");
  if (sep == std::string::npos) throw ErroTransporte("Endereço inválido: " + url);
  const std::string esquema = MinusculasAscii(url.substr(0, sep));
  std::string resto = url.substr(sep + 3);
  if (const auto cerquilha = resto.find('#'); cerquilha != std::string::npos) resto.erase(cerquilha);

  const auto fim_autoridade = resto.find_first_of("/?");
  std::string autoridade = resto.substr(0, fim_autoridade);
  PartesEndereco e;
  e.recurso = fim_autoridade == std::string::npos ? "/" : resto.substr(fim_autoridade);
  if (e.recurso.front() == '?') e.recurso.insert(0, "/");
  if (const auto arroba = autoridade.rfind('@'); arroba != std::string::npos) autoridade.erase(0, arroba + 1);

  std::string porta_texto;
  if (!autoridade.empty() && autoridade.front() == '[') {
    const auto fecha = autoridade.find(']');
    if (fecha == std::string::npos) throw ErroTransporte("Endereço inválido: " + url);
    e.host = autoridade.substr(0, fecha + 1);
    e.host_rede = autoridade.substr(1, fecha - 1);
    if (fecha + 1 < autoridade.size()) {
      if (autoridade[fecha + 1] != ':') throw ErroTransporte("Endereço inválido: " + url);
      porta_texto = autoridade.substr(fecha + 2);
    }
  } else {
    const auto dois_pontos = autoridade.find(':');
    e.host = autoridade.substr(0, dois_pontos);
    e.host_rede = e.host;
    if (dois_pontos != std::string::npos) porta_texto = autoridade.substr(dois_pontos + 1);
  }
  if (e.host_rede.empty()) throw ErroTransporte("Endereço sem servidor: " + url);

  std::optional<unsigned> porta;
  if (!porta_texto.empty()) {
    if (porta_texto.size() > 5 || !std::all_of(porta_texto.begin(), porta_texto.end(), [](char c) {
          return c >= '0' && c <= '9';
        }))
      throw ErroTransporte("Porta inválida: " + url);
    porta = static_cast<unsigned>(std::stoul(porta_texto));
    if (*porta == 0 || *porta > 65535) throw ErroTransporte("Porta inválida: " + url);
  }

  unsigned padrao = 0;
  if (esquema == "https") {
    e.tls = true;
    padrao = 443;
  } else if (esquema == "http") {
    padrao = 80;
  } else if (!porta) {
    // Any other scheme goes out as plain http, but only to a given port.
    throw ErroTransporte("Protocolo desconhecido: " + esquema);
  }
  e.porta = static_cast<std::uint16_t>(porta ? *porta : padrao);
  e.porta_padrao = e.porta == padrao;
  return e;
}

namespace {

bool EhEnderecoIp(const std::string& host) {
  error_code ec;
  net::ip::make_address(host, ec);
  return !ec;
}

// A failure of a reused connection before any byte of the reply came back:
// the server had closed it in the meantime, so the request may go again.
struct ConexaoCaida : ErroTransporte {
  using ErroTransporte::ErroTransporte;
};

struct LiberaSessao {
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using SessaoTls = std::unique_ptr<SSL_SESSION, LiberaSessao>;

}  // namespace

ErroHttpStatus::ErroHttpStatus(int codigo, const std::string& linha_status, std::string corpo)
    : std::runtime_error(linha_status), codigo_(codigo), linha_status_(linha_status), corpo_(std::move(corpo)) {}

bool VerificacaoCertificadoDesligada() { return VerificarCertificado == "Nao"; }

struct TIdHTTP::Impl {
  net::io_context ioc;
  std::chrono::milliseconds tempo_conexao{5000};
  std::chrono::milliseconds tempo_leitura{10000};

  // Built once for the trust settings in force (they are read at start):
  // loading the system's CA store costs tens of milliseconds per connection.
  std::unique_ptr<ssl::context> contexto;
  std::string chave_contexto;
  // The last resumable TLS session per server, made under that context: the
  // next connection resumes it and skips the certificate exchange and its
  // checks, which cost more than the rest of the handshake.
  std::map<std::string, SessaoTls> sessoes;
  std::optional<beast::tcp_stream> simples;
  std::optional<beast::ssl_stream<beast::tcp_stream>> seguro;
  std::string chave;         // scheme, host and port of the open connection
  bool reutilizavel = false;
  beast::flat_buffer buffer;

  bool post_enviado = false;
  // Cookies per host, in the order the server set them.
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> cookies;

  beast::tcp_stream& Base() { return seguro ? beast::get_lowest_layer(*seguro) : *simples; }
  bool Aberto() const { return (simples && simples->socket().is_open()) || (seguro && beast::get_lowest_layer(*seguro).socket().is_open()); }

  template <class F>
  decltype(auto) ComStream(F&& f) {
    if (seguro) return f(*seguro);
    return f(*simples);
  }

  // Runs the asynchronous operations started by `iniciar` to their end.
  void Rodar() {
    ioc.restart();
    ioc.run();
  }

  void Fechar() {
    error_code ec;
    if (simples) simples->socket().close(ec);
    if (seguro) beast::get_lowest_layer(*seguro).socket().close(ec);
    simples.reset();
    seguro.reset();
    chave.clear();
    reutilizavel = false;
    buffer.clear();
  }

  // Kept once a whole reply has come: under TLS 1.3 the server's tickets
  // arrive after the handshake. A copy, because closing the connection
  // without a TLS goodbye spoils the connection's own session.
  void GuardarSessao(const PartesEndereco& e) {
    if (!seguro) return;
    SSL_SESSION* atual = SSL_get0_session(seguro->native_handle());
    if (!atual || !SSL_SESSION_is_resumable(atual)) return;
    if (SessaoTls copia{SSL_SESSION_dup(atual)}) sessoes[Chave(e)] = std::move(copia);
  }

  static std::string Chave(const PartesEndereco& e) {
    return std::string(e.tls ? "https" : "http") + "://" + e.host_rede + ":" + std::to_string(e.porta);
  }

  void Conectar(const PartesEndereco& e) {
    Fechar();
    const auto prazo = std::chrono::steady_clock::now() + tempo_conexao;

    tcp::resolver resolvedor(ioc);
    net::steady_timer relogio(ioc);
    error_code ec_resolucao;
    bool expirou = false;
    tcp::resolver::results_type destinos;
    resolvedor.async_resolve(e.host_rede, std::to_string(e.porta),
                             [&](error_code ec, tcp::resolver::results_type r) {
                               ec_resolucao = ec;
                               destinos = std::move(r);
                               relogio.cancel();
                             });
    relogio.expires_at(prazo);
    relogio.async_wait([&](error_code ec) {
      if (!ec) {
        expirou = true;
        resolvedor.cancel();
      }
    });
    Rodar();
    if (expirou) throw ErroTransporte("Tempo de conexão esgotado ao resolver " + e.host_rede + ".");
    if (ec_resolucao) throw ErroTransporte("Não foi possível resolver " + e.host_rede + ": " + ec_resolucao.message());

    if (e.tls) {
      const std::string chave_atual = ChaveConfianca();
      if (!contexto || chave_contexto != chave_atual) {
        sessoes.clear();
        contexto.reset();
        chave_contexto.clear();
        auto novo = std::make_unique<ssl::context>(ssl::context::tls_client);
        SSL_CTX_set_min_proto_version(novo->native_handle(), TLS1_2_VERSION);
        if (VerificacaoCertificadoDesligada()) {
          novo->set_verify_mode(ssl::verify_none);
        } else {
          novo->set_verify_mode(ssl::verify_peer);
          error_code ec;
          ConfiarAutoridadesDoSistema(novo->native_handle());
          if (!CertificadoCA.empty()) {
            novo->load_verify_file(CertificadoCA, ec);
            if (ec) throw ErroTransporte("Não foi possível ler o certificado " + CertificadoCA + ": " + ec.message());
          }
        }
        contexto = std::move(novo);
        chave_contexto = chave_atual;
      }
      seguro.emplace(ioc, *contexto);
    } else {
      simples.emplace(ioc);
    }

    error_code ec_conexao;
    Base().expires_at(prazo);
    Base().async_connect(destinos, [&](error_code ec, const tcp::endpoint&) { ec_conexao = ec; });
    Rodar();
    if (ec_conexao == beast::error::timeout)
      throw ErroTransporte("Tempo de conexão esgotado com " + e.host_rede + ":" + std::to_string(e.porta) + ".");
    if (ec_conexao)
      throw ErroTransporte("Não foi possível conectar a " + e.host_rede + ":" + std::to_string(e.porta) + ": " +
                           ec_conexao.message());
    {
      // Small writes (the request head after the TLS handshake's last
      // message) go out at once instead of waiting for the server's
      // acknowledgement, which it may delay.
      error_code ec;
      Base().socket().set_option(tcp::no_delay(true), ec);
    }

    if (seguro) {
      // SNI carries names only, never an address literal.
      if (!EhEnderecoIp(e.host_rede)) SSL_set_tlsext_host_name(seguro->native_handle(), e.host_rede.c_str());
      if (!VerificacaoCertificadoDesligada()) seguro->set_verify_callback(ssl::host_name_verification(e.host_rede));
      const auto sessao = sessoes.find(Chave(e));
      if (sessao != sessoes.end()) SSL_set_session(seguro->native_handle(), sessao->second.get());
      error_code ec_tls;
      Base().expires_after(tempo_leitura);
      seguro->async_handshake(ssl::stream_base::client, [&](error_code ec) { ec_tls = ec; });
      Rodar();
      if (ec_tls) {
        sessoes.erase(Chave(e));
        Fechar();
        throw ErroTransporte("Falha na negociação TLS com " + e.host_rede + ": " + ec_tls.message());
      }
    }
    chave = Chave(e);
  }

  void Escrever(const std::string& dados) {
    error_code resultado;
    Base().expires_after(tempo_leitura);
    ComStream([&](auto& s) {
      net::async_write(s, net::buffer(dados), [&](error_code ec, std::size_t) { resultado = ec; });
    });
    Rodar();
    if (resultado == beast::error::timeout) throw ErroTransporte("Tempo esgotado ao enviar a requisição.");
    if (resultado) throw ConexaoCaida("Falha ao enviar a requisição: " + resultado.message());
  }

  std::string CabecalhoCookie(const std::string& host) const {
    const auto it = cookies.find(MinusculasAscii(host));
    if (it == cookies.end()) return {};
    std::string valor;
    for (const auto& [nome, conteudo] : it->second) {
      if (!valor.empty()) valor += "; ";
      valor += nome + "=" + conteudo;
    }
    return valor;
  }

  void GuardarCookie(const std::string& host, const std::string& set_cookie) {
    std::string par = set_cookie.substr(0, set_cookie.find(';'));
    const auto igual = par.find('=');
    if (igual == std::string::npos) return;
    const std::string nome = Trim(par.substr(0, igual));
    const std::string valor = Trim(par.substr(igual + 1));
    if (nome.empty()) return;
    // "Max-Age=0" (or less) is the server taking the cookie back.
    bool remover = false;
    const std::string atributos = MinusculasAscii(set_cookie);
    if (const auto pos = atributos.find("max-age="); pos != std::string::npos) {
      const std::string idade = Trim(atributos.substr(pos + 8, atributos.find(';', pos) - pos - 8));
      remover = !idade.empty() && (idade[0] == '-' || idade.find_first_not_of('0') == std::string::npos);
    }
    auto& lista = cookies[MinusculasAscii(host)];
    const auto it = std::find_if(lista.begin(), lista.end(), [&](const auto& c) { return c.first == nome; });
    if (remover) {
      if (it != lista.end()) lista.erase(it);
    } else if (it != lista.end()) {
      it->second = valor;
    } else {
      lista.emplace_back(nome, valor);
    }
  }

  std::string Cabeca(const std::string& metodo, const PartesEndereco& e, const std::string& tipo,
                     std::optional<std::uint64_t> tamanho, const std::string& codificacao) const {
    const bool post = metodo == "POST";
    std::string c = metodo + " " + Texto7Bits(e.recurso) + (post ? " HTTP/1.0" : " HTTP/1.1") + kCrlf;
    if (!e.tls && post_enviado) c += std::string("Connection: keep-alive") + kCrlf;
    if (!codificacao.empty()) c += "Content-Encoding: " + Texto7Bits(codificacao) + kCrlf;
    if (!tipo.empty()) c += "Content-Type: " + Texto7Bits(tipo) + kCrlf;
    if (tamanho) c += "Content-Length: " + std::to_string(*tamanho) + kCrlf;
    c += "Host: " + Texto7Bits(e.Host()) + kCrlf;
    c += std::string("Accept: ") + kAccept + kCrlf;
    c += std::string("Accept-Encoding: identity") + kCrlf;
    c += std::string("User-Agent: ") + kUserAgent + kCrlf;
    if (const std::string cookie = CabecalhoCookie(e.host_rede); !cookie.empty())
      c += "Cookie: " + Texto7Bits(cookie) + kCrlf;
    c += kCrlf;
    return c;
  }

  // Reads one reply; keeps its cookies; returns the body of a 2xx reply and
  // throws ErroHttpStatus for any other status.
  // What the trust of a TLS context depends on: the switch, and the extra CA
  // file as it is now on disk.
  static std::string ChaveConfianca() {
    std::string chave = (VerificacaoCertificadoDesligada() ? "0|" : "1|") + CertificadoCA;
    if (!CertificadoCA.empty()) {
      // To the nanosecond where the system keeps it: a file replaced within
      // one second (Windows' stat has whole seconds) is still told apart.
      const auto estado = EstadoDoArquivo(CertificadoCA);
      chave += !estado ? std::string("|?")
                       : "|" + std::to_string(estado->no) + "|" + std::to_string(estado->modificacao_ns) + "|" +
                             std::to_string(estado->alteracao_ns) + "|" + std::to_string(estado->tamanho);
    }
    return chave;
  }

  std::string LerResposta(const PartesEndereco& e, bool reusada) {
    http::response_parser<http::string_body> leitor;
    leitor.body_limit(kLimiteResposta);
    leitor.header_limit(64 * 1024);
    leitor.eager(true);
    // Large reads: a 10 MB reply in 512-byte pieces costs thousands of loop turns.
    buffer.reserve(64 * 1024);
    while (!leitor.is_done()) {
      // Else a server that holds its reply until its TLS tickets are
      // acknowledged waits for our delayed acknowledgement.
      ConfirmarRecebimentoSemDemora(Base().socket().native_handle());
      error_code resultado;
      Base().expires_after(tempo_leitura);
      ComStream([&](auto& s) {
        http::async_read_some(s, buffer, leitor, [&](error_code ec, std::size_t) { resultado = ec; });
      });
      Rodar();
      if (!resultado) continue;
      // A reply ended by closing the connection, over TLS without a goodbye.
      if (resultado == ssl::error::stream_truncated && leitor.got_some() && leitor.is_header_done() &&
          leitor.need_eof()) {
        error_code ec;
        leitor.put_eof(ec);
        if (!ec) break;
      }
      Fechar();
      if (resultado == beast::error::timeout) throw ErroTransporte("Tempo de leitura esgotado.");
      if (resultado == http::error::body_limit) throw ErroTransporte("Resposta maior que o limite de 64 MiB.");
      if (!leitor.got_some() && reusada &&
          (resultado == http::error::end_of_stream || resultado == net::error::connection_reset ||
           resultado == net::error::eof || resultado == ssl::error::stream_truncated))
        throw ConexaoCaida("A conexão foi fechada pelo servidor.");
      if (resultado == http::error::end_of_stream) throw ErroTransporte("A conexão foi fechada sem resposta.");
      throw ErroTransporte("Falha ao ler a resposta: " + resultado.message());
    }

    GuardarSessao(e);
    auto& resposta = leitor.get();
    for (const auto& campo : resposta.base())
      if (campo.name() == http::field::set_cookie) GuardarCookie(e.host_rede, std::string(campo.value()));
    reutilizavel = resposta.keep_alive() && !leitor.need_eof();
    if (!reutilizavel) Fechar();

    const int codigo = static_cast<int>(resposta.result_int());
    // Reply bodies are UTF-8 text; a malformed sequence becomes U+FFFD.
    std::string corpo = Utf8Legivel(resposta.body());
    if (codigo >= 200 && codigo <= 299) return corpo;
    const unsigned versao = resposta.version();
    const std::string linha = "HTTP/" + std::to_string(versao / 10) + "." + std::to_string(versao % 10) + " " +
                              std::to_string(codigo) + " " + std::string(resposta.reason());
    throw ErroHttpStatus(codigo, linha, std::move(corpo));
  }

  template <class EnviarCorpo>
  std::string Postar(const std::string& url, const std::string& tipo, std::uint64_t tamanho,
                     const std::string& codificacao, EnviarCorpo&& enviar_corpo) {
    // Every POST goes on a fresh connection, closed after the reply.
    Fechar();
    struct Fecha {
      Impl& impl;
      ~Fecha() { impl.Fechar(); }
    } fecha{*this};
    const PartesEndereco e = SepararEndereco(url);
    post_enviado = true;
    Conectar(e);
    Escrever(Cabeca("POST", e, tipo, tamanho, codificacao));
    enviar_corpo();
    return LerResposta(e, false);
  }
};

TIdHTTP::TIdHTTP() : impl_(std::make_unique<Impl>()) {}
TIdHTTP::~TIdHTTP() = default;

void TIdHTTP::ConnectTimeout(std::chrono::milliseconds valor) { impl_->tempo_conexao = valor; }
void TIdHTTP::ReadTimeout(std::chrono::milliseconds valor) { impl_->tempo_leitura = valor; }
std::chrono::milliseconds TIdHTTP::ConnectTimeout() const { return impl_->tempo_conexao; }
std::chrono::milliseconds TIdHTTP::ReadTimeout() const { return impl_->tempo_leitura; }

std::string TIdHTTP::Get(const std::string& url) {
  const PartesEndereco e = SepararEndereco(url);
  auto& i = *impl_;
  const bool reusar = i.Aberto() && i.reutilizavel && i.chave == Impl::Chave(e);
  auto trocar = [&](bool reusada) {
    i.Escrever(i.Cabeca("GET", e, Request.ContentType, std::nullopt, Request.ContentEncoding));
    return i.LerResposta(e, reusada);
  };
  try {
    if (!reusar) i.Conectar(e);
    return trocar(reusar);
  } catch (const ConexaoCaida& erro) {
    if (!reusar) {
      i.Fechar();
      throw ErroTransporte(erro.what());
    }
  } catch (const ErroHttpStatus&) {
    throw;
  } catch (...) {
    i.Fechar();
    throw;
  }
  // The kept connection had been closed by the server: once more on a new one.
  try {
    i.Conectar(e);
    return trocar(false);
  } catch (const ConexaoCaida& erro) {
    i.Fechar();
    throw ErroTransporte(erro.what());
  } catch (const ErroHttpStatus&) {
    throw;
  } catch (...) {
    i.Fechar();
    throw;
  }
}

std::string TIdHTTP::Post(const std::string& url, const std::string& corpo_json) {
  try {
    return impl_->Postar(url, Request.ContentType, corpo_json.size(), Request.ContentEncoding,
                         [&] { impl_->Escrever(corpo_json); });
  } catch (const ConexaoCaida& erro) {
    throw ErroTransporte(erro.what());
  }
}

std::string TIdHTTP::Post(const std::string& url, CorpoMultipart& corpo) {
  Request.ContentType = corpo.ContentType();
  try {
    return impl_->Postar(url, corpo.ContentType(), corpo.Tamanho(), Request.ContentEncoding, [&] {
      corpo.Reiniciar();
      std::string bloco(64 * 1024, '\0');
      for (;;) {
        std::size_t n = 0;
        try {
          n = corpo.Ler(bloco.data(), bloco.size());
        } catch (const std::exception& erro) {
          throw ErroTransporte(std::string("Falha ao ler o arquivo enviado: ") + erro.what());
        }
        if (n == 0) break;
        bloco.resize(n);
        impl_->Escrever(bloco);
        bloco.resize(64 * 1024);
      }
    });
  } catch (const ConexaoCaida& erro) {
    throw ErroTransporte(erro.what());
  }
}

void TIdHTTP::Disconnect() { impl_->Fechar(); }

std::string TIdHTTP::TestarConexao(const std::string& url) {
  const PartesEndereco e = SepararEndereco(url);
  impl_->Conectar(e);
  std::string resultado = "conexão aceita (http)";
  if (impl_->seguro) {
    resultado = std::string(SSL_get_version(impl_->seguro->native_handle())) +
                (VerificacaoCertificadoDesligada() ? ", certificado NÃO verificado (VerificarCertificado=Nao)"
                                                   : ", certificado verificado");
  }
  impl_->Fechar();
  return resultado;
}
bool TIdHTTP::Connected() const { return impl_->Aberto(); }
