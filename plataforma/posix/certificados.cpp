#include "plataforma/certificados.h"

#include <openssl/ssl.h>

void ConfiarAutoridadesDoSistema(ssl_ctx_st* contexto) noexcept { ::SSL_CTX_set_default_verify_paths(contexto); }
