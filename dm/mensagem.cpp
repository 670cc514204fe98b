// The message buffers of a statement: the input message laid out from the
// types set on the parameters, and each fetched output row read into values.
#include <bit>
#include <string>

#include "dm/banco_interno.h"
#include "dm/win1252.h"

using namespace banco_interno;

void Consulta::Impl::MontarEntrada(Preparado& p, Status& st) {
  const std::size_t n = indiceParametro.size();
  Entrada& e = p.entrada;
  if (n == 0) return;
  textos.resize(n);
  std::vector<std::pair<int, unsigned>> assinatura(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Parametro& par = parametros[indiceParametro[i]];
    unsigned capacidade = 0;
    if (par.tipo_ == Parametro::Tipo::Texto) {
      textos[i] = conexao.impl().utf8 ? par.texto_ : lumiford::win1252::DeUtf8(par.texto_);
      if (textos[i].size() > 32765)
        throw ErroBanco("Texto longo demais para o parâmetro " + nomesParametros[indiceParametro[i]]);
      capacidade = static_cast<unsigned>(textos[i].size());
    }
    assinatura[i] = {static_cast<int>(par.tipo_), capacidade};
  }
  bool refazer = !e.metadados || e.assinatura.size() != n;
  for (std::size_t i = 0; !refazer && i < n; ++i)
    refazer = e.assinatura[i].first != assinatura[i].first || e.assinatura[i].second < assinatura[i].second;
  if (refazer) {
    Ref<fb::IMetadataBuilder> construtor(Master()->getMetadataBuilder(st.get(), static_cast<unsigned>(n)));
    for (std::size_t i = 0; i < n; ++i) {
      auto idx = static_cast<unsigned>(i);
      switch (static_cast<Parametro::Tipo>(assinatura[i].first)) {
        case Parametro::Tipo::Inteiro:
        case Parametro::Tipo::Moeda:
          construtor->setType(st.get(), idx, SQL_INT64 + 1);
          construtor->setLength(st.get(), idx, sizeof(ISC_INT64));
          construtor->setScale(st.get(), idx,
                               assinatura[i].first == static_cast<int>(Parametro::Tipo::Moeda) ? -4 : 0);
          break;
        case Parametro::Tipo::Data:
          construtor->setType(st.get(), idx, SQL_TYPE_DATE + 1);
          construtor->setLength(st.get(), idx, sizeof(ISC_DATE));
          break;
        case Parametro::Tipo::Texto:
        case Parametro::Tipo::Nulo: {
          // Room to grow, so that texts of similar sizes share one message layout.
          unsigned capacidade = std::min(32765u, std::max(32u, (assinatura[i].second + 63) / 64 * 64));
          assinatura[i].second = capacidade;
          construtor->setType(st.get(), idx, SQL_VARYING + 1);
          construtor->setLength(st.get(), idx, capacidade);
          construtor->setCharSet(st.get(), idx, conexao.impl().utf8 ? kCharsetUtf8 : kCharsetWin1252);
          break;
        }
      }
    }
    e.metadados.reset(construtor->getMetadata(st.get()));
    e.assinatura = assinatura;
    e.deslocamentos.resize(n);
    e.deslocamentosNulo.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      e.deslocamentos[i] = e.metadados->getOffset(st.get(), static_cast<unsigned>(i));
      e.deslocamentosNulo[i] = e.metadados->getNullOffset(st.get(), static_cast<unsigned>(i));
    }
    e.buffer.assign(e.metadados->getMessageLength(st.get()), 0);
  }
  unsigned char* buf = e.buffer.data();
  for (std::size_t i = 0; i < n; ++i) {
    const Parametro& par = parametros[indiceParametro[i]];
    unsigned char* destino = buf + e.deslocamentos[i];
    ISC_SHORT nulo = par.tipo_ == Parametro::Tipo::Nulo ? -1 : 0;
    std::memcpy(buf + e.deslocamentosNulo[i], &nulo, sizeof nulo);
    switch (par.tipo_) {
      case Parametro::Tipo::Inteiro: {
        ISC_INT64 v = par.inteiro_;
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Moeda: {
        ISC_INT64 v = par.moeda_.dezmilesimos;
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Data: {
        auto v = static_cast<ISC_DATE>(DiasDe(par.data_) + kDiasAte1970);
        std::memcpy(destino, &v, sizeof v);
        break;
      }
      case Parametro::Tipo::Texto: {
        auto tamanho = static_cast<ISC_USHORT>(textos[i].size());
        std::memcpy(destino, &tamanho, sizeof tamanho);
        std::memcpy(destino + sizeof tamanho, textos[i].data(), textos[i].size());
        break;
      }
      case Parametro::Tipo::Nulo: {
        ISC_USHORT zero = 0;
        std::memcpy(destino, &zero, sizeof zero);
        break;
      }
    }
  }
}

namespace {
// A value of the message buffer, which need not be aligned for its type.
template <class T>
T Ler(const unsigned char* dado) {
  T x;
  std::memcpy(&x, dado, sizeof x);
  return x;
}
}  // namespace

void Consulta::Impl::LerLinha(const Preparado& p, const unsigned char* buf, fb::IAttachment* anexo,
                              fb::ITransaction* transacao, Status& st) {
  const bool utf8 = conexao.impl().utf8;
  auto texto = [&](const char* bytes, std::size_t n, unsigned charset) {
    if (utf8 || charset == kCharsetUtf8 || charset == kCharsetUnicodeFss) return std::string(bytes, n);
    return lumiford::win1252::ParaUtf8(std::string_view(bytes, n));
  };
  for (const Coluna& c : *p.colunas) {
    ValorCampo& v = celulas.emplace_back();
    if (Ler<ISC_SHORT>(buf + c.deslocamentoNulo)) continue;
    const unsigned char* dado = buf + c.deslocamento;
    v.escala = static_cast<std::int8_t>(c.escala);
    switch (c.tipo) {
      case SQL_SHORT:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_SHORT>(dado);
        break;
      case SQL_LONG:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_LONG>(dado);
        break;
      case SQL_INT64:
        v.tipo = ValorCampo::Tipo::Inteiro;
        v.inteiro = Ler<ISC_INT64>(dado);
        break;
      case SQL_FLOAT: {
        const auto x = Ler<float>(dado);
        v.tipo = ValorCampo::Tipo::Real;
        v.inteiro = std::bit_cast<std::int64_t>(static_cast<double>(x));
        break;
      }
      case SQL_DOUBLE:
      case SQL_D_FLOAT: {
        const auto x = Ler<double>(dado);
        v.tipo = ValorCampo::Tipo::Real;
        v.inteiro = std::bit_cast<std::int64_t>(x);
        break;
      }
      case SQL_TYPE_DATE: {
        const auto x = Ler<ISC_DATE>(dado);
        v.tipo = ValorCampo::Tipo::Data;
        v.inteiro = x - kDiasAte1970;
        break;
      }
      case SQL_TIMESTAMP: {
        const auto x = Ler<ISC_TIMESTAMP>(dado);
        v.tipo = ValorCampo::Tipo::DataHora;
        v.inteiro = (x.timestamp_date - kDiasAte1970) * kMsDia + x.timestamp_time / 10;
        break;
      }
      case SQL_TYPE_TIME: {
        const auto x = Ler<ISC_TIME>(dado);
        v.tipo = ValorCampo::Tipo::Hora;
        v.inteiro = x / 10;
        break;
      }
      case SQL_TEXT: {
        // Fixed-length text comes padded with blanks that are no part of the
        // value: "2" in a CHAR(3) is "2", as a VARCHAR gives it.
        std::size_t n = c.comprimento;
        if (c.charset != kCharsetOctets)
          while (n > 0 && dado[n - 1] == ' ') --n;
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = texto(reinterpret_cast<const char*>(dado), n, c.charset);
        break;
      }
      case SQL_VARYING: {
        const auto n = Ler<ISC_USHORT>(dado);
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = texto(reinterpret_cast<const char*>(dado + sizeof n), n, c.charset);
        break;
      }
      case SQL_BOOLEAN:
        v.tipo = ValorCampo::Tipo::Logico;
        v.inteiro = *dado ? 1 : 0;
        break;
      case SQL_BLOB: {
        auto id = Ler<ISC_QUAD>(dado);
        Ref<fb::IBlob> blob(anexo->openBlob(st.get(), transacao, &id, 0, nullptr));
        std::string bytes;
        char pedaco[16384];
        for (;;) {
          unsigned lido = 0;
          int r = blob->getSegment(st.get(), sizeof pedaco, pedaco, &lido);
          if (r == fb::IStatus::RESULT_OK || r == fb::IStatus::RESULT_SEGMENT)
            bytes.append(pedaco, lido);
          else
            break;
        }
        blob->close(st.get());
        (void)blob.release();  // close released it
        v.tipo = ValorCampo::Tipo::Texto;
        v.texto = c.subtipo == 1 ? texto(bytes.data(), bytes.size(), c.charset) : std::move(bytes);
        break;
      }
      case SQL_NULL:
        break;
      default:
        throw ErroBanco("Tipo de coluna não suportado (" + std::to_string(c.tipo) + "): " + c.nome);
    }
  }
}
