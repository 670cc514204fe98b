// Trust for the web service on Windows: the authorities of the system's
// "ROOT" store, plus CertificadoCA when it is set.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "api/http.h"
#include "global/uglobal.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/support/simulador.h"

namespace {

using lumiford::teste::Resposta;
using lumiford::teste::Simulador;

// The test CA in the local machine's ROOT store for the life of the object.
class CaNoRepositorio {
 public:
  explicit CaNoRepositorio(const std::string& pem) {
    DWORD tamanho = 0;
    if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &tamanho, nullptr, nullptr))
      throw std::runtime_error("CryptStringToBinaryA");
    std::vector<BYTE> der(tamanho);
    ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &tamanho, nullptr, nullptr);
    repositorio_ = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!repositorio_) throw std::runtime_error("CertOpenStore");
    if (!::CertAddEncodedCertificateToStore(repositorio_, X509_ASN_ENCODING, der.data(), tamanho,
                                            CERT_STORE_ADD_REPLACE_EXISTING, &certificado_))
      throw std::runtime_error("CertAddEncodedCertificateToStore");
  }
  ~CaNoRepositorio() {
    ::CertDeleteCertificateFromStore(certificado_);  // frees the context too
    ::CertCloseStore(repositorio_, 0);
  }
  CaNoRepositorio(const CaNoRepositorio&) = delete;
  CaNoRepositorio& operator=(const CaNoRepositorio&) = delete;

 private:
  HCERTSTORE repositorio_ = nullptr;
  PCCERT_CONTEXT certificado_ = nullptr;
};

class ConfiancaWindows : public ::testing::Test {
 protected:
  void TearDown() override { RestaurarGlobais(); }
};

TEST_F(ConfiancaWindows, TheRootStoreDecidesWithoutACaFile) {
  Simulador sim(Simulador::Certificado::Confiavel);
  sim.Responder("/ok", Resposta::Json("{}"));
  {
    TIdHTTP http;
    EXPECT_ANY_THROW(http.Get(sim.Base() + "/ok"));  // unknown CA
  }
  {
    CaNoRepositorio ca(sim.CaPem());
    TIdHTTP http;
    EXPECT_EQ(http.Get(sim.Base() + "/ok"), "{}");
  }
  {
    TIdHTTP http;
    EXPECT_ANY_THROW(http.Get(sim.Base() + "/ok"));  // taken away again
  }
}

TEST_F(ConfiancaWindows, TheHostNameIsCheckedAgainstTrustedCertificates) {
  Simulador sim(Simulador::Certificado::HostErrado);
  sim.Responder("/ok", Resposta::Json("{}"));
  CaNoRepositorio ca(sim.CaPem());
  TIdHTTP http;
  EXPECT_ANY_THROW(http.Get(sim.Base() + "/ok"));
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
