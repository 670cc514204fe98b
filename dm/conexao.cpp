// Connections: the attachment with the service's parameters, the
// transaction settings every statement runs under, and the engine's end.
#include <cstring>

#include "dm/banco_interno.h"
#include "dm/win1252.h"
#include "global/servidor_banco.h"

using namespace banco_interno;

namespace {

// A plain path is opened through the local Firebird server whenever one
// answers at the loopback port, and by the engine inside this process only
// when none does: an engine here would hold the file so that the server
// could not open it for the ERP's users. The client library tries its
// providers in the order given, but stops at the loopback's connection
// failure instead of going on to the engine, so the engine is a second
// attempt of our own. A path that names a server goes to that server only.
constexpr const char* kRotaServidor = "Providers=Remote,Loopback";
// With a page cache of 512 pages (4 MB at 8 KiB a page) instead of the
// engine's default 2048: the service reads few pages per run and idles in
// between. A server drops the settings a client sends, so its shared cache
// is never touched.
constexpr const char* kRotaMotorLocal = "Providers=Engine12\nDefaultDbCachePages=512";

// Nothing listens where the loopback provider looked for the local server.
bool SemServidorLocal(const fb::FbException& e) {
  const intptr_t* erros = e.getStatus()->getErrors();
  bool rede = false, conexao = false;
  for (const intptr_t* p = erros; p[0] != isc_arg_end; p += 2) {
    if (p[0] != isc_arg_gds) continue;
    rede = rede || p[1] == isc_network_error;
    conexao = conexao || p[1] == isc_net_connect_err;
  }
  return rede && conexao;
}

struct LiberadorXpb {
  void operator()(fb::IXpbBuilder* p) const { p->dispose(); }
};
using RefXpb = std::unique_ptr<fb::IXpbBuilder, LiberadorXpb>;

fb::IAttachment* Anexar(const Conexao::Impl& c, const char* rota) {
  Status st;
  RefXpb dpb(Util()->getXpbBuilder(st.get(), fb::IXpbBuilder::DPB, nullptr, 0));
  dpb->insertTag(st.get(), isc_dpb_utf8_filename);
  if (!c.usuario.empty()) dpb->insertString(st.get(), isc_dpb_user_name, c.usuario.c_str());
  if (!c.senha.empty()) dpb->insertString(st.get(), isc_dpb_password, c.senha.c_str());
  if (!c.charset.empty()) dpb->insertString(st.get(), isc_dpb_lc_ctype, c.charset.c_str());
  dpb->insertString(st.get(), isc_dpb_config, rota);
  Ref<fb::IProvider> provedor(Master()->getDispatcher());
  return provedor->attachDatabase(st.get(), c.banco.c_str(), dpb->getBufferLength(st.get()),
                                  dpb->getBuffer(st.get()));
}

}  // namespace

std::string banco_interno::TextoStatus(fb::IStatus* status) {
  char buffer[4096];
  unsigned n = Util()->formatStatus(buffer, sizeof buffer, status);
  std::string texto(buffer, std::min<std::size_t>(n, std::strlen(buffer)));
  while (!texto.empty() && (texto.back() == '\n' || texto.back() == '\r')) texto.pop_back();
  // Messages can carry data values in the connection's character set.
  if (!Utf8Valido(texto)) texto = lumiford::win1252::ParaUtf8(texto);
  return texto;
}

Conexao::Conexao() : impl_(std::make_unique<Impl>()) {}

Conexao::~Conexao() {
  Disconnect();
}

Conexao::Impl& Conexao::impl() { return *impl_; }

bool Conexao::Connected() const { return impl_->anexo != nullptr; }

void Conexao::Connect() {
  if (impl_->anexo) return;
  std::string driver, banco, usuario, senha, charset, servidor, porta;
  for (const std::string& linha : Params) {
    std::size_t igual = linha.find('=');
    std::string nome = MaiusculasAscii(Trim(linha.substr(0, igual)));
    std::string valor = igual == std::string::npos ? std::string() : linha.substr(igual + 1);
    if (nome == "DRIVERID") driver = Trim(valor);
    else if (nome == "DATABASE") banco = valor;
    else if (nome == "USER_NAME") usuario = valor;
    else if (nome == "PASSWORD") senha = valor;
    else if (nome == "CHARACTERSET") charset = MaiusculasAscii(Trim(valor));
    else if (nome == "SERVER") servidor = Trim(valor);
    else if (nome == "PORT") porta = Trim(valor);
  }
  if (!IguaisSemCaixa(driver, "FB"))
    throw ErroBanco("Driver de banco de dados não suportado: \"" + driver + "\" (esperado FB)");
  if (!charset.empty() && charset != "WIN1252" && charset != "UTF8" && charset != "NONE")
    throw ErroBanco("Conjunto de caracteres não suportado: " + charset);
  if (!servidor.empty()) banco = servidor + (porta.empty() ? "" : "/" + porta) + ":" + banco;

  Status st;
  try {
    RefXpb tpb(Util()->getXpbBuilder(st.get(), fb::IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(st.get(), isc_tpb_write);
    tpb->insertTag(st.get(), isc_tpb_read_committed);
    tpb->insertTag(st.get(), isc_tpb_rec_version);
    tpb->insertTag(st.get(), isc_tpb_wait);
    tpb->insertInt(st.get(), isc_tpb_lock_timeout, 10);
    const unsigned char* b = tpb->getBuffer(st.get());
    impl_->tpb.assign(b, b + tpb->getBufferLength(st.get()));

    impl_->utf8 = charset == "UTF8";
    impl_->banco = banco;
    impl_->usuario = usuario;
    impl_->senha = senha;
    impl_->charset = charset;
    impl_->motor_local = false;
    try {
      impl_->anexo = Anexar(*impl_, kRotaServidor);
      impl_->servidor_visto = true;
    } catch (const fb::FbException& e) {
      // A server that was there and went away (restarted, say) is waited
      // for: opening the file here meanwhile would keep it from the server
      // once it is back.
      if (!DecomporServidor(banco).servidor.empty() || impl_->servidor_visto || !SemServidorLocal(e)) throw;
      impl_->anexo = Anexar(*impl_, kRotaMotorLocal);
      impl_->motor_local = true;
    }
  } catch (const fb::FbException& e) {
    throw ErroBanco(TextoStatus(e.getStatus()));
  }
}

bool Conexao::ViaMotorLocal() const { return impl_->anexo && impl_->motor_local; }

bool Conexao::PassarAoServidor() {
  if (!ViaMotorLocal()) return false;
  try {
    fb::IAttachment* novo = Anexar(*impl_, kRotaServidor);
    Disconnect();
    impl_->anexo = novo;
    impl_->motor_local = false;
    impl_->servidor_visto = true;
    return true;
  } catch (const fb::FbException& e) {
    if (SemServidorLocal(e)) return false;
  }
  // A server answers, but cannot open the file while this process holds it.
  impl_->servidor_visto = true;
  Disconnect();
  try {
    impl_->anexo = Anexar(*impl_, kRotaServidor);
  } catch (const fb::FbException& e) {
    throw ErroBanco(TextoStatus(e.getStatus()));
  }
  impl_->motor_local = false;
  return true;
}

void Conexao::Disconnect() {
  for (Consulta::Impl* c : impl_->consultas) {
    c->LiberarPreparados();
  }
  if (!impl_->anexo) return;
  Status st;
  try {
    impl_->anexo->detach(st.get());  // releases the interface on success
  } catch (const fb::FbException&) {
    impl_->anexo->release();
  }
  impl_->anexo = nullptr;
}

void EncerrarMotorBanco() noexcept {
  // The engine's threads are ended here, while the process is whole, and not
  // by the client library's own clean-up at exit. The engine is not kept
  // loaded between connections: the client unloads it after a minute without
  // any, and an engine kept mapped after that never starts again, so a
  // database away for longer would never be reached again.
  try {
    fb::CheckStatusWrapper status(Master()->getStatus());
    fb::IProvider* despachante = Master()->getDispatcher();
    despachante->shutdown(&status, 0, fb_shutrsn_app_stopped);
    despachante->release();
    status.dispose();
  } catch (...) {
  }
}
