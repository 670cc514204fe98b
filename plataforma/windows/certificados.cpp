#include "plataforma/certificados.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

void ConfiarAutoridadesDoSistema(ssl_ctx_st* contexto) noexcept {
  HCERTSTORE raiz = ::CertOpenSystemStoreW(0, L"ROOT");
  if (raiz == nullptr) return;
  X509_STORE* confiaveis = ::SSL_CTX_get_cert_store(contexto);
  PCCERT_CONTEXT certificado = nullptr;
  while ((certificado = ::CertEnumCertificatesInStore(raiz, certificado)) != nullptr) {
    const unsigned char* der = certificado->pbCertEncoded;
    X509* x509 = ::d2i_X509(nullptr, &der, static_cast<long>(certificado->cbCertEncoded));
    if (x509 == nullptr) continue;
    ::X509_STORE_add_cert(confiaveis, x509);  // a duplicate is refused, harmlessly
    ::X509_free(x509);
  }
  ::CertCloseStore(raiz, 0);
  // Refused duplicates leave errors queued that a later TLS call would report.
  ::ERR_clear_error();
}
