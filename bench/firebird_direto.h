// The baseline of the database benchmarks: statements run straight through
// the Firebird object interface, each prepared once and, like the service's,
// committed in a transaction of its own. Also loads seed rows in one
// transaction, which is what the benchmarks use to prepare their databases.
// The database is a plain path (the engine in this process) or a server's
// "host/port:path", with the service's user and password.
#pragma once

#include <firebird/Interface.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace lumiford::bench {

namespace fb = Firebird;

// A parameter: integer, text (ASCII in the benchmarks), or an amount in
// ten-thousandths.
struct Dezmilesimos {
  std::int64_t valor = 0;
};
using ValorDireto = std::variant<std::int64_t, std::string, Dezmilesimos>;

class FirebirdDireto {
 public:
  explicit FirebirdDireto(const std::string& arquivo) {
    master_ = fb::fb_get_master_interface();
    fb::ThrowStatusWrapper st(master_->getStatus());
    try {
      fb::IUtil* util = master_->getUtilInterface();
      fb::IXpbBuilder* dpb = util->getXpbBuilder(&st, fb::IXpbBuilder::DPB, nullptr, 0);
      dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
      dpb->insertString(&st, isc_dpb_password, "bluefjord");
      dpb->insertString(&st, isc_dpb_lc_ctype, "WIN1252");
      fb::IXpbBuilder* tpb = util->getXpbBuilder(&st, fb::IXpbBuilder::TPB, nullptr, 0);
      tpb->insertTag(&st, isc_tpb_write);
      tpb->insertTag(&st, isc_tpb_read_committed);
      tpb->insertTag(&st, isc_tpb_rec_version);
      tpb->insertTag(&st, isc_tpb_wait);
      const unsigned char* b = tpb->getBuffer(&st);
      tpb_.assign(b, b + tpb->getBufferLength(&st));
      fb::IProvider* provedor = master_->getDispatcher();
      anexo_ = provedor->attachDatabase(&st, arquivo.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
      provedor->release();
      dpb->dispose();
      tpb->dispose();
    } catch (const fb::FbException& e) {
      st.dispose();
      throw std::runtime_error(Texto(e));
    }
    st.dispose();
  }

  ~FirebirdDireto() {
    fb::ThrowStatusWrapper st(master_->getStatus());
    try {
      if (lote_) lote_->rollback(&st);
      for (auto& [sql, p] : preparados_) {
        p.entrada->release();
        p.saida->release();
        p.comando->free(&st);
      }
      anexo_->detach(&st);
    } catch (const fb::FbException&) {
    }
    st.dispose();
  }

  FirebirdDireto(const FirebirdDireto&) = delete;
  FirebirdDireto& operator=(const FirebirdDireto&) = delete;

  // A row of a result: the output buffer as fetched.
  class Linha {
   public:
    std::int64_t Inteiro(unsigned coluna) const {
      const unsigned tipo = meta_->getType(st_, coluna) & ~1u;
      const unsigned char* v = buffer_ + meta_->getOffset(st_, coluna);
      if (*reinterpret_cast<const short*>(buffer_ + meta_->getNullOffset(st_, coluna))) return 0;
      switch (tipo) {
        case SQL_SHORT: return Ler<std::int16_t>(v);
        case SQL_LONG: return Ler<std::int32_t>(v);
        case SQL_INT64: return Ler<std::int64_t>(v);
        default: throw std::runtime_error("coluna sem inteiro");
      }
    }
    std::string Texto(unsigned coluna) const {
      const unsigned tipo = meta_->getType(st_, coluna) & ~1u;
      const unsigned char* v = buffer_ + meta_->getOffset(st_, coluna);
      if (*reinterpret_cast<const short*>(buffer_ + meta_->getNullOffset(st_, coluna))) return {};
      if (tipo == SQL_VARYING)
        return std::string(reinterpret_cast<const char*>(v) + 2, Ler<std::uint16_t>(v));
      if (tipo == SQL_TEXT) return std::string(reinterpret_cast<const char*>(v), meta_->getLength(st_, coluna));
      return std::to_string(Inteiro(coluna));
    }

   private:
    friend class FirebirdDireto;
    template <typename T>
    static T Ler(const unsigned char* p) {
      T t;
      std::memcpy(&t, p, sizeof t);
      return t;
    }
    fb::IMessageMetadata* meta_ = nullptr;
    const unsigned char* buffer_ = nullptr;
    fb::ThrowStatusWrapper* st_ = nullptr;
  };

  // One statement with "?" parameters in its own committed transaction (or
  // in the open batch); every row of a result is fetched and handed over.
  void Executar(const std::string& sql, const std::vector<ValorDireto>& parametros = {},
                const std::function<void(const Linha&)>& aoLer = {}) {
    fb::ThrowStatusWrapper st(master_->getStatus());
    fb::ITransaction* transacao = nullptr;
    try {
      transacao = lote_ ? lote_ : anexo_->startTransaction(&st, static_cast<unsigned>(tpb_.size()), tpb_.data());
      Preparado& p = Preparar(sql, transacao, st);
      MontarEntrada(p, parametros, st);
      void* entrada = parametros.empty() ? nullptr : p.bufEntrada.data();
      fb::IMessageMetadata* metaEntrada = parametros.empty() ? nullptr : p.entrada;
      Linha linha;
      linha.meta_ = p.saida;
      linha.buffer_ = p.bufSaida.data();
      linha.st_ = &st;
      if (p.cursor) {
        fb::IResultSet* cursor = p.comando->openCursor(&st, transacao, metaEntrada, entrada, p.saida, 0);
        while (cursor->fetchNext(&st, p.bufSaida.data()) == fb::IStatus::RESULT_OK)
          if (aoLer) aoLer(linha);
        cursor->close(&st);
      } else {
        p.comando->execute(&st, transacao, metaEntrada, entrada, p.temSaida ? p.saida : nullptr,
                           p.temSaida ? p.bufSaida.data() : nullptr);
        if (p.temSaida && aoLer) aoLer(linha);
      }
      if (!lote_) transacao->commit(&st);
    } catch (const fb::FbException& e) {
      const std::string texto = Texto(e);
      if (transacao && !lote_) {
        try {
          transacao->rollback(&st);
        } catch (const fb::FbException&) {
        }
      }
      st.dispose();
      throw std::runtime_error(texto + " (" + sql + ")");
    }
    st.dispose();
  }

  // Seeds go in one transaction.
  void IniciarLote() {
    fb::ThrowStatusWrapper st(master_->getStatus());
    lote_ = anexo_->startTransaction(&st, static_cast<unsigned>(tpb_.size()), tpb_.data());
    st.dispose();
  }
  void ConcluirLote() {
    fb::ThrowStatusWrapper st(master_->getStatus());
    lote_->commit(&st);
    lote_ = nullptr;
    st.dispose();
  }

 private:
  struct Preparado {
    fb::IStatement* comando = nullptr;
    fb::IMessageMetadata* entrada = nullptr;
    fb::IMessageMetadata* saida = nullptr;
    std::vector<unsigned char> bufEntrada, bufSaida;
    bool cursor = false;
    bool temSaida = false;
  };

  static std::string Texto(const fb::FbException& e) {
    char buf[1024];
    fb::fb_get_master_interface()->getUtilInterface()->formatStatus(buf, sizeof buf, e.getStatus());
    return buf;
  }

  Preparado& Preparar(const std::string& sql, fb::ITransaction* transacao, fb::ThrowStatusWrapper& st) {
    auto it = preparados_.find(sql);
    if (it != preparados_.end()) return it->second;
    Preparado p;
    p.comando = anexo_->prepare(&st, transacao, static_cast<unsigned>(sql.size()), sql.c_str(), 3,
                                fb::IStatement::PREPARE_PREFETCH_METADATA);
    p.cursor = (p.comando->getFlags(&st) & fb::IStatement::FLAG_HAS_CURSOR) != 0;
    p.entrada = p.comando->getInputMetadata(&st);
    p.saida = p.comando->getOutputMetadata(&st);
    p.temSaida = p.saida->getCount(&st) > 0;
    p.bufEntrada.resize(p.entrada->getMessageLength(&st));
    p.bufSaida.resize(p.saida->getMessageLength(&st));
    return preparados_.emplace(sql, std::move(p)).first->second;
  }

  static void MontarEntrada(Preparado& p, const std::vector<ValorDireto>& parametros, fb::ThrowStatusWrapper& st) {
    if (parametros.size() != p.entrada->getCount(&st)) throw std::runtime_error("número de parâmetros");
    unsigned char* buf = p.bufEntrada.data();
    for (unsigned i = 0; i < parametros.size(); ++i) {
      unsigned char* v = buf + p.entrada->getOffset(&st, i);
      const short nulo = 0;
      std::memcpy(buf + p.entrada->getNullOffset(&st, i), &nulo, sizeof nulo);
      const unsigned tipo = p.entrada->getType(&st, i) & ~1u;
      const int escala = p.entrada->getScale(&st, i);
      std::int64_t inteiro = 0;
      if (const auto* t = std::get_if<std::string>(&parametros[i])) {
        if (tipo != SQL_VARYING && tipo != SQL_TEXT) throw std::runtime_error("parâmetro de texto");
        const unsigned cabe = p.entrada->getLength(&st, i);
        const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(t->size(), cabe));
        if (tipo == SQL_VARYING) {
          std::memcpy(v, &n, 2);
          std::memcpy(v + 2, t->data(), n);
        } else {
          std::memset(v, ' ', cabe);
          std::memcpy(v, t->data(), n);
        }
        continue;
      }
      if (const auto* d = std::get_if<Dezmilesimos>(&parametros[i])) {
        inteiro = d->valor;
        for (int e = -4; e < escala; ++e) inteiro /= 10;
        for (int e = escala; e < -4; ++e) inteiro *= 10;
      } else {
        inteiro = std::get<std::int64_t>(parametros[i]);
        for (int e = escala; e < 0; ++e) inteiro *= 10;
      }
      switch (tipo) {
        case SQL_SHORT: {
          const auto x = static_cast<std::int16_t>(inteiro);
          std::memcpy(v, &x, sizeof x);
          break;
        }
        case SQL_LONG: {
          const auto x = static_cast<std::int32_t>(inteiro);
          std::memcpy(v, &x, sizeof x);
          break;
        }
        case SQL_INT64: std::memcpy(v, &inteiro, sizeof inteiro); break;
        default: throw std::runtime_error("parâmetro numérico de tipo " + std::to_string(tipo));
      }
    }
  }

  fb::IMaster* master_ = nullptr;
  fb::IAttachment* anexo_ = nullptr;
  fb::ITransaction* lote_ = nullptr;
  std::vector<unsigned char> tpb_;
  std::map<std::string, Preparado> preparados_;
};

}  // namespace lumiford::bench
