#include "tests/support/simulador.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <array>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "plataforma/rede.h"

namespace lumiford::teste {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// ---- Certificates made at test time ----

struct LiberaPkey {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct LiberaX509 {
  void operator()(X509* p) const { X509_free(p); }
};
struct LiberaBio {
  void operator()(BIO* p) const { BIO_free(p); }
};
using Chave = std::unique_ptr<EVP_PKEY, LiberaPkey>;
using Cert = std::unique_ptr<X509, LiberaX509>;

void Exigir(bool ok, const char* oque) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL: falha em ") + oque);
}

Chave NovaChave() {
  Chave chave(EVP_EC_gen("P-256"));
  Exigir(chave != nullptr, "EVP_EC_gen");
  return chave;
}

void AdicionarExtensao(X509* cert, X509* emissor, int nid, const char* valor) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, emissor, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, valor);
  Exigir(ext != nullptr, "X509V3_EXT_conf_nid");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `nome`, signed by the issuer (or by itself when there is none).
Cert NovoCertificado(const std::string& nome, EVP_PKEY* chave, X509* emissor, EVP_PKEY* chave_emissor, bool ca,
                     const std::string& alternativos) {
  Cert cert(X509_new());
  Exigir(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serie[8];
  RAND_bytes(serie, sizeof serie);
  serie[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serie, sizeof serie, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), chave);
  X509_NAME* sujeito = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(sujeito, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Lumiford Teste"), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(sujeito, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(nome.c_str()), -1, -1,
                             0);
  X509* assinante = emissor ? emissor : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(assinante));
  if (ca) {
    AdicionarExtensao(cert.get(), assinante, NID_basic_constraints, "critical,CA:TRUE");
    AdicionarExtensao(cert.get(), assinante, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AdicionarExtensao(cert.get(), assinante, NID_basic_constraints, "critical,CA:FALSE");
    AdicionarExtensao(cert.get(), assinante, NID_ext_key_usage, "serverAuth");
    AdicionarExtensao(cert.get(), assinante, NID_subject_alt_name, alternativos.c_str());
  }
  AdicionarExtensao(cert.get(), assinante, NID_subject_key_identifier, "hash");
  Exigir(X509_sign(cert.get(), chave_emissor ? chave_emissor : chave, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

std::string Pem(X509* cert) {
  std::unique_ptr<BIO, LiberaBio> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* dados = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &dados);
  return std::string(dados, static_cast<std::size_t>(n));
}

std::string Pem(EVP_PKEY* chave) {
  std::unique_ptr<BIO, LiberaBio> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), chave, nullptr, nullptr, 0, nullptr, nullptr);
  char* dados = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &dados);
  return std::string(dados, static_cast<std::size_t>(n));
}

struct MaterialTls {
  std::string ca_pem;
  std::string cert_pem;
  std::string chave_pem;
};

MaterialTls GerarMaterial(Simulador::Certificado tipo) {
  const Chave chave_ca = NovaChave();
  const Cert ca = NovoCertificado("Lumiford Teste CA", chave_ca.get(), nullptr, nullptr, true, "");
  const Chave chave = NovaChave();
  const std::string locais = "IP:127.0.0.1,DNS:localhost";
  Cert cert;
  switch (tipo) {
    case Simulador::Certificado::NaoConfiavel:
      cert = NovoCertificado("localhost", chave.get(), nullptr, nullptr, false, locais);
      break;
    case Simulador::Certificado::HostErrado:
      cert = NovoCertificado("outro.exemplo", chave.get(), ca.get(), chave_ca.get(), false, "DNS:outro.exemplo");
      break;
    default:
      cert = NovoCertificado("localhost", chave.get(), ca.get(), chave_ca.get(), false, locais);
      break;
  }
  return {Pem(ca.get()), Pem(cert.get()), Pem(chave.get())};
}

std::string Minusculas(std::string texto) {
  for (char& c : texto)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return texto;
}

// Value of a header line of the head (first one), empty when absent.
std::string ValorCabecalho(const std::string& cabeca, const std::string& nome) {
  const std::string procura = "\r\n" + Minusculas(nome) + ":";
  const std::string baixa = Minusculas(cabeca);
  const auto pos = baixa.find(procura);
  if (pos == std::string::npos) return {};
  auto inicio = pos + procura.size();
  const auto fim = cabeca.find("\r\n", inicio);
  while (inicio < fim && cabeca[inicio] == ' ') ++inicio;
  return cabeca.substr(inicio, fim - inicio);
}

std::string Hex(std::size_t n) {
  char texto[32];
  std::snprintf(texto, sizeof texto, "%zx", n);
  return texto;
}

}  // namespace

struct Simulador::Impl {
  Certificado certificado = Certificado::Nenhum;
  MaterialTls material;
  std::optional<ssl::context> contexto;  // before the io_context: sessions die with it
  net::io_context ioc;
  tcp::acceptor aceitador{ioc};
  std::thread linha;
  std::uint16_t porta = 0;

  mutable std::mutex trava;
  std::map<std::string, std::deque<Resposta>> roteiro;
  Resposta padrao = Resposta::Status(404, "Not Found", "");
  std::vector<RequisicaoGravada> gravadas;
  int conexoes = 0;
  std::function<void(const RequisicaoGravada&)> aviso;

  Resposta Escolher(const std::string& caminho) {
    std::lock_guard lock(trava);
    const auto it = roteiro.find(caminho);
    if (it == roteiro.end() || it->second.empty()) return padrao;
    Resposta r = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    return r;
  }

  void Gravar(const RequisicaoGravada& req) {
    std::function<void(const RequisicaoGravada&)> avisar;
    {
      std::lock_guard lock(trava);
      gravadas.push_back(req);
      avisar = aviso;
    }
    if (avisar) avisar(req);
  }

  void Aceitar();
};

namespace {

template <class Stream>
tcp::socket& Soquete(Stream& s) {
  if constexpr (std::is_same_v<Stream, tcp::socket>)
    return s;
  else
    return s.next_layer();
}

template <class Stream>
class Sessao : public std::enable_shared_from_this<Sessao<Stream>> {
 public:
  template <class... Args>
  Sessao(Simulador::Impl& sim, int id, Args&&... args) : sim_(sim), id_(id), stream_(std::forward<Args>(args)...) {}

  void Iniciar() {
    if constexpr (std::is_same_v<Stream, tcp::socket>) {
      LerCabeca();
    } else {
      auto eu = this->shared_from_this();
      stream_.async_handshake(ssl::stream_base::server, [eu](error_code ec) {
        if (ec) return eu->Abortar();
        if (const char* nome = SSL_get_servername(eu->stream_.native_handle(), TLSEXT_NAMETYPE_host_name))
          eu->sni_ = nome;
        eu->LerCabeca();
      });
    }
  }

 private:
  void LerCabeca() {
    auto eu = this->shared_from_this();
    net::async_read_until(stream_, net::dynamic_buffer(entrada_), "\r\n\r\n",
                          [eu](error_code ec, std::size_t n) {
                            if (ec) return eu->Abortar();
                            eu->LerCorpo(n);
                          });
  }

  void LerCorpo(std::size_t tamanho_cabeca) {
    const std::string cabeca = entrada_.substr(0, tamanho_cabeca);
    std::size_t tamanho_corpo = 0;
    if (const std::string valor = ValorCabecalho(cabeca, "Content-Length"); !valor.empty())
      tamanho_corpo = static_cast<std::size_t>(std::stoull(valor));
    const std::size_t ja = entrada_.size() - tamanho_cabeca;
    const std::size_t falta = tamanho_corpo > ja ? tamanho_corpo - ja : 0;
    auto eu = this->shared_from_this();
    net::async_read(stream_, net::dynamic_buffer(entrada_), net::transfer_exactly(falta),
                    [eu, tamanho_cabeca, tamanho_corpo](error_code ec, std::size_t) {
                      if (ec) return eu->Abortar();
                      eu->Atender(tamanho_cabeca, tamanho_corpo);
                    });
  }

  void Atender(std::size_t tamanho_cabeca, std::size_t tamanho_corpo) {
    RequisicaoGravada req;
    req.bruto = entrada_.substr(0, tamanho_cabeca + tamanho_corpo);
    entrada_.erase(0, tamanho_cabeca + tamanho_corpo);
    req.cabeca = req.bruto.substr(0, tamanho_cabeca);
    req.corpo = req.bruto.substr(tamanho_cabeca);
    const auto linha = req.cabeca.substr(0, req.cabeca.find("\r\n"));
    const auto esp1 = linha.find(' ');
    const auto esp2 = linha.rfind(' ');
    const std::string alvo = esp1 == std::string::npos ? "" : linha.substr(esp1 + 1, esp2 - esp1 - 1);
    req.caminho = alvo.substr(0, alvo.find('?'));
    req.conexao = id_;
    req.sni = sni_;
    const bool versao10 = linha.size() >= 8 && linha.compare(linha.size() - 8, 8, "HTTP/1.0") == 0;
    manter_ = !versao10 && Minusculas(ValorCabecalho(req.cabeca, "Connection")) != "close";
    sim_.Gravar(req);
    resposta_ = sim_.Escolher(req.caminho);
    if (resposta_.fechar || resposta_.enquadramento == Resposta::Enquadramento::AteFechar) manter_ = false;
    anunciar_ = !manter_;
    if (resposta_.fechar_em_silencio) manter_ = false;

    if (resposta_.atraso.count() > 0) {
      relogio_.emplace(stream_.get_executor());
      relogio_->expires_after(resposta_.atraso);
      auto eu = this->shared_from_this();
      relogio_->async_wait([eu](error_code ec) {
        if (!ec) eu->Responder();
      });
    } else {
      Responder();
    }
  }

  void Responder() {
    using F = Resposta::Falha;
    switch (resposta_.falha) {
      case F::Reset:
        return Resetar();
      case F::SemResposta:
        return Encerrar();
      case F::Lixo:
        manter_ = false;
        return Enviar("\x01\x02 isto nao e HTTP \xff\r\n\r\n", true);
      case F::ChunkedCortado:
        manter_ = false;
        return Enviar("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "40\r\n{\"sucess\": tr",
                      true);
      case F::ResetNoMeio:
      case F::Nenhuma:
        break;
    }
    const auto& r = resposta_;
    std::string cabeca = "HTTP/1.1 " + std::to_string(r.status) + " " + r.motivo + "\r\n";
    if (!r.tipo.empty()) cabeca += "Content-Type: " + r.tipo + "\r\n";
    for (const auto& c : r.set_cookie) cabeca += "Set-Cookie: " + c + "\r\n";
    for (const auto& [nome, valor] : r.cabecalhos) cabeca += nome + ": " + valor + "\r\n";
    const std::uint64_t tamanho = r.tamanho_gerado ? r.tamanho_gerado : r.corpo.size();
    switch (r.enquadramento) {
      case Resposta::Enquadramento::Tamanho:
        cabeca += "Content-Length: " + std::to_string(tamanho) + "\r\n";
        break;
      case Resposta::Enquadramento::Chunked:
        cabeca += "Transfer-Encoding: chunked\r\n";
        break;
      case Resposta::Enquadramento::AteFechar:
        break;
    }
    if (anunciar_) cabeca += "Connection: close\r\n";
    cabeca += "\r\n";
    if (r.tamanho_gerado) {
      restante_ = r.tamanho_gerado;
      return EnviarGerado(std::move(cabeca));
    }
    if (r.enquadramento == Resposta::Enquadramento::Chunked) {
      // Small chunks, so that the reader has to join several.
      for (std::size_t i = 0; i < r.corpo.size(); i += 10) {
        const std::string pedaco = r.corpo.substr(i, 10);
        cabeca += Hex(pedaco.size()) + "\r\n" + pedaco + "\r\n";
      }
      cabeca += "0\r\n\r\n";
    } else if (r.falha == F::ResetNoMeio) {
      cabeca += r.corpo.substr(0, r.corpo.size() / 2);
      return EnviarECortar(std::move(cabeca));
    } else {
      cabeca += r.corpo;
    }
    Enviar(std::move(cabeca), !manter_);
  }

  void EnviarECortar(std::string dados) {
    saida_ = std::move(dados);
    auto eu = this->shared_from_this();
    net::async_write(stream_, net::buffer(saida_), [eu](error_code ec, std::size_t) {
      if (ec) return eu->Abortar();
      // What was written reaches the reader before the reset does.
      eu->relogio_.emplace(eu->stream_.get_executor());
      eu->relogio_->expires_after(std::chrono::milliseconds(100));
      eu->relogio_->async_wait([eu](error_code) { eu->Resetar(); });
    });
  }

  void Enviar(std::string dados, bool fechar_depois) {
    saida_ = std::move(dados);
    auto eu = this->shared_from_this();
    net::async_write(stream_, net::buffer(saida_), [eu, fechar_depois](error_code ec, std::size_t) {
      if (ec) return eu->Abortar();
      if (fechar_depois) return eu->Encerrar();
      eu->Proxima();
    });
  }

  // A large body made on the fly, framed as the script says.
  void EnviarGerado(std::string inicio) {
    constexpr std::size_t kBloco = 1 << 20;
    std::string bloco = std::move(inicio);
    if (restante_ > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(restante_, kBloco));
      if (resposta_.enquadramento == Resposta::Enquadramento::Chunked) bloco += Hex(n) + "\r\n";
      bloco.append(n, 'x');
      if (resposta_.enquadramento == Resposta::Enquadramento::Chunked) bloco += "\r\n";
      restante_ -= n;
    }
    const bool ultimo = restante_ == 0;
    if (ultimo && resposta_.enquadramento == Resposta::Enquadramento::Chunked) bloco += "0\r\n\r\n";
    saida_ = std::move(bloco);
    auto eu = this->shared_from_this();
    net::async_write(stream_, net::buffer(saida_), [eu, ultimo](error_code ec, std::size_t) {
      if (ec) return eu->Abortar();
      if (!ultimo) return eu->EnviarGerado({});
      if (!eu->manter_) return eu->Encerrar();
      eu->Proxima();
    });
  }

  void Proxima() {
    if (manter_) LerCabeca();
  }

  void Resetar() {
    error_code ec;
    Soquete(stream_).set_option(tcp::socket::linger(true, 0), ec);
    Soquete(stream_).close(ec);
  }

  void Encerrar() {
    if constexpr (std::is_same_v<Stream, tcp::socket>) {
      error_code ec;
      stream_.shutdown(tcp::socket::shutdown_send, ec);
      // Wait for the client to close, so that no unread byte turns our close into a reset.
      auto eu = this->shared_from_this();
      auto lixo = std::make_shared<std::array<char, 512>>();
      stream_.async_read_some(net::buffer(*lixo), [eu, lixo](error_code, std::size_t) { eu->Abortar(); });
    } else {
      auto eu = this->shared_from_this();
      stream_.async_shutdown([eu](error_code) { eu->Abortar(); });
    }
  }

  void Abortar() {
    error_code ec;
    Soquete(stream_).close(ec);
  }

  Simulador::Impl& sim_;
  int id_;
  Stream stream_;
  std::string entrada_;
  std::string saida_;
  std::string sni_;
  Resposta resposta_;
  bool manter_ = false;
  bool anunciar_ = false;
  std::uint64_t restante_ = 0;
  std::optional<net::steady_timer> relogio_;
};

}  // namespace

namespace {

// A process a test starts (the service) must not keep the simulator's port
// or its connections open after the simulator is gone.
template <class Soquete>
void NaoHerdar(Soquete descritor) {
  NaoHerdarSoquete(static_cast<std::intptr_t>(descritor));
}

}  // namespace

void Simulador::Impl::Aceitar() {
  aceitador.async_accept([this](error_code ec, tcp::socket soquete) {
    if (ec) return;
    NaoHerdar(soquete.native_handle());
    int id = 0;
    {
      std::lock_guard lock(trava);
      id = ++conexoes;
    }
    if (contexto) {
      std::make_shared<Sessao<ssl::stream<tcp::socket>>>(*this, id, std::move(soquete), *contexto)->Iniciar();
    } else {
      std::make_shared<Sessao<tcp::socket>>(*this, id, std::move(soquete))->Iniciar();
    }
    Aceitar();
  });
}

Simulador::Simulador(Certificado certificado, std::uint16_t porta) : impl_(std::make_shared<Impl>()) {
  auto& i = *impl_;
  i.certificado = certificado;
  i.material = GerarMaterial(certificado == Certificado::Nenhum ? Certificado::Confiavel : certificado);
  if (certificado != Certificado::Nenhum) {
    i.contexto.emplace(ssl::context::tls_server);
    i.contexto->use_certificate_chain(net::buffer(i.material.cert_pem));
    i.contexto->use_private_key(net::buffer(i.material.chave_pem), ssl::context::pem);
  }
  const tcp::endpoint local(net::ip::make_address("127.0.0.1"), porta);
  i.aceitador.open(local.protocol());
  NaoHerdar(i.aceitador.native_handle());
  i.aceitador.set_option(tcp::acceptor::reuse_address(true));
  i.aceitador.bind(local);
  i.aceitador.listen();
  i.porta = i.aceitador.local_endpoint().port();
  i.Aceitar();
  i.linha = std::thread([&i] { i.ioc.run(); });
}

Simulador::~Simulador() {
  impl_->ioc.stop();
  if (impl_->linha.joinable()) impl_->linha.join();
}

std::uint16_t Simulador::Porta() const { return impl_->porta; }

std::string Simulador::Base() const {
  return std::string(impl_->certificado == Certificado::Nenhum ? "http" : "https") + "://127.0.0.1:" +
         std::to_string(impl_->porta);
}

void Simulador::Responder(const std::string& caminho, Resposta resposta) {
  std::lock_guard lock(impl_->trava);
  impl_->roteiro[caminho].push_back(std::move(resposta));
}

void Simulador::ResponderPadrao(Resposta resposta) {
  std::lock_guard lock(impl_->trava);
  impl_->padrao = std::move(resposta);
}

std::vector<RequisicaoGravada> Simulador::Requisicoes() const {
  std::lock_guard lock(impl_->trava);
  return impl_->gravadas;
}

int Simulador::Conexoes() const {
  std::lock_guard lock(impl_->trava);
  return impl_->conexoes;
}

void Simulador::AoReceber(std::function<void(const RequisicaoGravada&)> aviso) {
  std::lock_guard lock(impl_->trava);
  impl_->aviso = std::move(aviso);
}

const std::string& Simulador::CaPem() const { return impl_->material.ca_pem; }

void Simulador::GravarCa(const std::string& caminho) const {
  std::ofstream saida(caminho, std::ios::binary);
  saida << impl_->material.ca_pem;
  if (!saida) throw std::runtime_error("não foi possível gravar " + caminho);
}

}  // namespace lumiford::teste
