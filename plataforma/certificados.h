// The certificate authorities the system trusts, for the TLS connections to
// the web service.
#pragma once

struct ssl_ctx_st;

// Adds the system's trusted authorities to the context's store: the default
// certificate paths of OpenSSL on Linux, the "ROOT" store on Windows.
// Authorities that cannot be read are skipped.
void ConfiarAutoridadesDoSistema(ssl_ctx_st* contexto) noexcept;
