// Queries: the statement text and its parameters, the prepared statements
// kept per query, and running a statement in a transaction of its own.
#include "dm/banco_interno.h"
#include "dm/win1252.h"

using namespace banco_interno;

namespace {
constexpr std::size_t kPreparadosGuardados = 8;
}  // namespace

// ---------------------------------------------------------------------------
// Parametro

void Consulta::Parametro::AsInteger(std::int64_t valor) {
  tipo_ = Tipo::Inteiro;
  inteiro_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsString(const std::string& valor) {
  tipo_ = Tipo::Texto;
  texto_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsCurrency(Moeda valor) {
  tipo_ = Tipo::Moeda;
  moeda_ = valor;
  definido_ = true;
}

void Consulta::Parametro::AsDate(Data valor) {
  if (!valor.ok()) throw ErroBanco("Data inválida");
  tipo_ = Tipo::Data;
  data_ = valor;
  definido_ = true;
}

void Consulta::Parametro::Clear() {
  tipo_ = Tipo::Nulo;
  texto_.clear();
  definido_ = true;
}

// ---------------------------------------------------------------------------
// Consulta

Consulta::Consulta(Conexao& conexao) : impl_(std::make_unique<Impl>(conexao)) {
  conexao.impl().consultas.insert(impl_.get());
}

Consulta::~Consulta() {
  impl_->LiberarPreparados();
  impl_->conexao.impl().consultas.erase(impl_.get());
}

void Consulta::Close() {
  impl_->ativo = false;
  impl_->celulas.clear();
  // A large selection gives its memory back; small ones keep it for the next run.
  if (impl_->celulas.capacity() > 4096) impl_->celulas.shrink_to_fit();
  impl_->colunas.reset();
  impl_->linhas = 0;
  impl_->posicao = 0;
}

void Consulta::SetSQL(const std::string& sql) {
  Close();
  if (sql != impl_->sqlOriginal) {
    impl_->sqlOriginal = sql;
    impl_->posicional = Posicional(sql);
    impl_->nomesParametros.clear();
    impl_->indiceParametro.clear();
    for (const std::string& nome : impl_->posicional.nomes) {
      auto it = std::find(impl_->nomesParametros.begin(), impl_->nomesParametros.end(), nome);
      impl_->indiceParametro.push_back(static_cast<std::size_t>(it - impl_->nomesParametros.begin()));
      if (it == impl_->nomesParametros.end()) impl_->nomesParametros.push_back(nome);
    }
  }
  impl_->parametros.assign(impl_->nomesParametros.size(), Parametro{});
}

const std::string& Consulta::SQL() const { return impl_->sqlOriginal; }

Consulta::Parametro& Consulta::ParamByName(const std::string& nome) {
  std::string chave = MaiusculasAscii(Trim(nome));
  for (std::size_t i = 0; i < impl_->nomesParametros.size(); ++i)
    if (impl_->nomesParametros[i] == chave) return impl_->parametros[i];
  throw ErroBanco("Parâmetro '" + nome + "' não encontrado");
}

Preparado& Consulta::Impl::Preparar(fb::IAttachment* anexo, fb::ITransaction* transacao, Status& st) {
  for (auto it = preparados.begin(); it != preparados.end(); ++it) {
    if (it->sql == posicional.sql) {
      preparados.splice(preparados.begin(), preparados, it);
      return preparados.front();
    }
  }
  Preparado p;
  p.sql = posicional.sql;
  // The statement text travels in the connection's character set too.
  const std::string texto = conexao.impl().utf8 ? p.sql : lumiford::win1252::DeUtf8(p.sql);
  p.comando.reset(anexo->prepare(st.get(), transacao, static_cast<unsigned>(texto.size()), texto.c_str(), 3,
                                 fb::IStatement::PREPARE_PREFETCH_METADATA));
  unsigned tipo = p.comando->getType(st.get());
  p.temCursor = (p.comando->getFlags(st.get()) & fb::IStatement::FLAG_HAS_CURSOR) != 0 ||
                tipo == isc_info_sql_stmt_select || tipo == isc_info_sql_stmt_select_for_upd;
  p.saida.reset(p.comando->getOutputMetadata(st.get()));
  unsigned n = p.saida->getCount(st.get());
  p.tamanhoSaida = p.saida->getMessageLength(st.get());
  std::vector<Coluna> colunas;
  for (unsigned i = 0; i < n; ++i) {
    Coluna c;
    std::string nome = p.saida->getAlias(st.get(), i);
    if (nome.empty()) nome = p.saida->getField(st.get(), i);
    c.nome = conexao.impl().utf8 ? nome : lumiford::win1252::ParaUtf8(nome);
    c.chave = MaiusculasAscii(c.nome);
    c.tipo = p.saida->getType(st.get(), i) & ~1u;
    c.escala = p.saida->getScale(st.get(), i);
    c.comprimento = p.saida->getLength(st.get(), i);
    c.deslocamento = p.saida->getOffset(st.get(), i);
    c.deslocamentoNulo = p.saida->getNullOffset(st.get(), i);
    c.charset = p.saida->getCharSet(st.get(), i);
    c.subtipo = p.saida->getSubType(st.get(), i);
    colunas.push_back(std::move(c));
  }
  p.colunas = std::make_shared<const std::vector<Coluna>>(std::move(colunas));
  p.bufferSaida.assign(p.tamanhoSaida, 0);
  preparados.push_front(std::move(p));
  if (preparados.size() > kPreparadosGuardados) preparados.pop_back();
  return preparados.front();
}

void Consulta::Impl::Executar(bool abrir) {
  for (std::size_t i = 0; i < parametros.size(); ++i)
    if (!parametros[i].definido_) throw ErroBanco("Parâmetro sem valor: " + nomesParametros[i]);
  Conexao::Impl& cx = conexao.impl();
  if (!cx.anexo) throw ErroBanco("Conexão com a base de dados não está aberta");

  celulas.clear();
  colunas.reset();
  linhas = 0;
  posicao = 0;
  executado = nullptr;

  Status st;
  fb::ITransaction* transacao = nullptr;
  fb::IStatement* rodado = nullptr;
  try {
    transacao = cx.anexo->startTransaction(st.get(), static_cast<unsigned>(cx.tpb.size()), cx.tpb.data());
    Preparado& p = Preparar(cx.anexo, transacao, st);
    if (abrir && !p.temCursor && p.colunas->empty())
      throw ErroBanco("O comando não retorna registros; use ExecSQL: " + sqlOriginal);
    MontarEntrada(p, st);
    fb::IMessageMetadata* meta = indiceParametro.empty() ? nullptr : p.entrada.metadados.get();
    void* bufEntrada = indiceParametro.empty() ? nullptr : p.entrada.buffer.data();
    unsigned char* saida = p.bufferSaida.data();
    if (p.temCursor) {
      Ref<fb::IResultSet> cursor(p.comando->openCursor(st.get(), transacao, meta, bufEntrada, p.saida.get(), 0));
      while (cursor->fetchNext(st.get(), saida) == fb::IStatus::RESULT_OK) {
        if (abrir) {
          LerLinha(p, saida, cx.anexo, transacao, st);
          ++linhas;
        }
      }
      cursor->close(st.get());
      (void)cursor.release();  // close released it
    } else {
      p.comando->execute(st.get(), transacao, meta, bufEntrada,
                         p.colunas->empty() ? nullptr : p.saida.get(),
                         p.colunas->empty() ? nullptr : saida);
      if (!p.colunas->empty() && abrir) {
        LerLinha(p, saida, cx.anexo, transacao, st);
        ++linhas;
      }
      rodado = p.comando.get();
    }
    transacao->commit(st.get());  // releases it
    transacao = nullptr;
    executado = rodado;
    if (abrir) {
      colunas = p.colunas;  // shared: the cache may drop the statement meanwhile
    }
  } catch (...) {
    celulas.clear();
    linhas = 0;
    if (transacao) {
      Status st2;
      try {
        transacao->rollback(st2.get());
      } catch (const fb::FbException&) {
        transacao->release();
      }
    }
    try {
      throw;
    } catch (const fb::FbException& e) {
      throw ErroBanco(TextoStatus(e.getStatus()));
    }
  }
}

void Consulta::Open() {
  Close();
  impl_->Executar(true);
  impl_->ativo = true;
}

void Consulta::ExecSQL() {
  Close();
  impl_->Executar(false);
}

bool Consulta::Active() const { return impl_->ativo; }
bool Consulta::Eof() const { return !impl_->ativo || impl_->posicao >= impl_->linhas; }
void Consulta::First() { impl_->posicao = 0; }
void Consulta::Next() {
  if (impl_->posicao < impl_->linhas) ++impl_->posicao;
}
std::size_t Consulta::RecordCount() const { return impl_->ativo ? impl_->linhas : 0; }
std::size_t Consulta::FieldCount() const { return impl_->colunas ? impl_->colunas->size() : 0; }
std::int64_t Consulta::RowsAffected() const {
  // The statement keeps the counts of its last run after the commit.
  if (!impl_->executado || !impl_->conexao.impl().anexo) return 0;
  Impl::Status st;
  try {
    return static_cast<std::int64_t>(impl_->executado->getAffectedRecords(st.get()));
  } catch (const fb::FbException& e) {
    throw ErroBanco(TextoStatus(e.getStatus()));
  }
}

std::string Consulta::FieldName(std::size_t indice) const {
  if (indice >= FieldCount()) throw ErroBanco("Campo " + std::to_string(indice) + " não existe");
  return (*impl_->colunas)[indice].nome;
}

Consulta::Campo Consulta::FieldByName(const std::string& nome) const {
  if (!impl_->ativo) throw ErroBanco("Consulta fechada: campo '" + nome + "' indisponível");
  std::string chave = MaiusculasAscii(Trim(nome));
  const std::size_t n = FieldCount();
  for (std::size_t i = 0; i < n; ++i) {
    if ((*impl_->colunas)[i].chave == chave) {
      Campo campo;
      if (impl_->posicao < impl_->linhas) campo.valor_ = &impl_->celulas[impl_->posicao * n + i];
      return campo;
    }
  }
  throw ErroBanco("Campo '" + nome + "' não encontrado");
}
