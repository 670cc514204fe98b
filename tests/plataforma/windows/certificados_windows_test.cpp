// Trust for the web service on Windows: the authorities of the system's
// "ROOT" store, plus CertificadoCA when it is set.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "api/http.h"
#include "global/uglobal.h"
#include "plataforma/certificados.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/support/simulador.h"

namespace {

using lumiford::teste::Resposta;
using lumiford::teste::Simulador;

class ConfiancaWindows : public ::testing::Test {
 protected:
  void TearDown() override { RestaurarGlobais(); }
};

// Wine's "ROOT" store is the build machine's own list of authorities and
// takes no additions, so the import is checked certificate by certificate.
TEST_F(ConfiancaWindows, EveryAuthorityOfTheRootStoreIsTrusted) {
  SSL_CTX* contexto = ::SSL_CTX_new(::TLS_client_method());
  ASSERT_NE(contexto, nullptr);
  ConfiarAutoridadesDoSistema(contexto);
  STACK_OF(X509)* confiaveis = ::X509_STORE_get1_all_certs(::SSL_CTX_get_cert_store(contexto));
  ASSERT_NE(confiaveis, nullptr);

  HCERTSTORE raiz = ::CertOpenSystemStoreW(0, L"ROOT");
  ASSERT_NE(raiz, nullptr);
  int vistos = 0;
  PCCERT_CONTEXT certificado = nullptr;
  while ((certificado = ::CertEnumCertificatesInStore(raiz, certificado)) != nullptr) {
    const unsigned char* der = certificado->pbCertEncoded;
    X509* x509 = ::d2i_X509(nullptr, &der, static_cast<long>(certificado->cbCertEncoded));
    if (x509 == nullptr) continue;
    ++vistos;
    EXPECT_NE(::X509_find_by_issuer_and_serial(confiaveis, ::X509_get_issuer_name(x509), ::X509_get_serialNumber(x509)),
              nullptr);
    ::X509_free(x509);
  }
  ::CertCloseStore(raiz, 0);
  EXPECT_GT(vistos, 0);
  EXPECT_GE(sk_X509_num(confiaveis), vistos);
  EXPECT_EQ(::ERR_peek_error(), 0u);  // nothing left queued for a later TLS call
  sk_X509_pop_free(confiaveis, ::X509_free);
  ::SSL_CTX_free(contexto);
}

// The system's authorities do not vouch for a test CA; a wrong host name is
// refused whoever signed the certificate.
TEST_F(ConfiancaWindows, UnknownAuthorityAndWrongHostAreRefused) {
  lumiford::teste::PastaTemporaria pasta{"ca-win"};
  {
    Simulador sim(Simulador::Certificado::Confiavel);
    sim.Responder("/ok", Resposta::Json("{}"));
    TIdHTTP http;
    EXPECT_ANY_THROW(http.Get(sim.Base() + "/ok"));
    EXPECT_TRUE(sim.Requisicoes().empty());
  }
  {
    Simulador sim(Simulador::Certificado::HostErrado);
    sim.Responder("/ok", Resposta::Json("{}"));
    sim.GravarCa(pasta / "ca.pem");
    CertificadoCA = pasta / "ca.pem";
    TIdHTTP http;
    EXPECT_ANY_THROW(http.Get(sim.Base() + "/ok"));
    EXPECT_TRUE(sim.Requisicoes().empty());
  }
}

TEST_F(ConfiancaWindows, CertificadoCAAddsToTheStore) {
  lumiford::teste::PastaTemporaria pasta{"ca-win"};
  Simulador sim(Simulador::Certificado::Confiavel);
  sim.Responder("/ok", Resposta::Json("{\"a\":1}"));
  sim.GravarCa(pasta / "ca.pem");
  CertificadoCA = pasta / "ca.pem";
  TIdHTTP http;
  EXPECT_EQ(http.Get(sim.Base() + "/ok"), "{\"a\":1}");
  EXPECT_EQ(sim.Requisicoes().size(), 1u);
}

}  // namespace
