#include "plataforma/certificados.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

void Acrescentar(HCERTSTORE repositorio, X509_STORE* confiaveis) {
  if (repositorio == nullptr) return;
  PCCERT_CONTEXT certificado = nullptr;
  while ((certificado = ::CertEnumCertificatesInStore(repositorio, certificado)) != nullptr) {
    const unsigned char* der = certificado->pbCertEncoded;
    X509* x509 = ::d2i_X509(nullptr, &der, static_cast<long>(certificado->cbCertEncoded));
    if (x509 == nullptr) continue;
    ::X509_STORE_add_cert(confiaveis, x509);  // a duplicate is refused, harmlessly
    ::X509_free(x509);
  }
  ::CertCloseStore(repositorio, 0);
}

}  // namespace

// The account's "ROOT" store and the machine's (where an administrator or a
// policy puts a company's authority; a service's own account may not see it).
void ConfiarAutoridadesDoSistema(ssl_ctx_st* contexto) noexcept {
  X509_STORE* confiaveis = ::SSL_CTX_get_cert_store(contexto);
  Acrescentar(::CertOpenSystemStoreW(0, L"ROOT"), confiaveis);
  Acrescentar(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                              CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"ROOT"),
              confiaveis);
  // Refused duplicates leave errors queued that a later TLS call would report.
  ::ERR_clear_error();
}
