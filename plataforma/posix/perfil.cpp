#include "plataforma/perfil.h"

#include "global/ini.h"

struct ArquivoPerfil::Impl {
  ArquivoIni ini;
};

ArquivoPerfil::ArquivoPerfil(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ArquivoPerfil::~ArquivoPerfil() = default;
ArquivoPerfil::ArquivoPerfil(ArquivoPerfil&&) noexcept = default;
ArquivoPerfil& ArquivoPerfil::operator=(ArquivoPerfil&&) noexcept = default;

ArquivoPerfil ArquivoPerfil::Abrir(const std::string& caminho) {
  return ArquivoPerfil(std::make_unique<Impl>(Impl{ArquivoIni::Ler(caminho)}));
}

std::string ArquivoPerfil::Valor(const std::string& secao, const std::string& chave) const {
  return impl_->ini.Valor(secao, chave).value_or(std::string());
}
