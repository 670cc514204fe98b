// What the files of the database layer share inside it: the Firebird
// interfaces and their owners, the values of a fetched row, the prepared
// statements, and the private parts of Conexao and Consulta.
#pragma once

#include <firebird/Interface.h>

#include "plataforma/bibliotecas.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dm/banco.h"
#include "global/funcoes.h"

namespace fb = Firebird;

// One value of a fetched row. Rows of the larger selections run to tens of
// thousands, so a cell keeps only what its rendering needs.
struct ValorCampo {
  enum class Tipo : std::uint8_t { Nulo, Inteiro, Real, Data, DataHora, Hora, Texto, Logico };
  Tipo tipo = Tipo::Nulo;
  std::int8_t escala = 0;    // Inteiro: the value is inteiro × 10^escala
  std::int64_t inteiro = 0;  // Inteiro; Real (bits of the double); Data: days since 1970-01-01;
                             // DataHora: ms since 1970-01-01; Hora: ms since midnight; Logico
  std::string texto;         // Texto, UTF-8
};

namespace banco_interno {

// Firebird counts dates from 1858-11-17; this many days before 1970-01-01.
constexpr std::int64_t kDiasAte1970 = 40587;
constexpr std::int64_t kMsDia = 86400000;
constexpr unsigned kCharsetUtf8 = 4;
constexpr unsigned kCharsetWin1252 = 53;
constexpr unsigned kCharsetUnicodeFss = 3;
constexpr unsigned kCharsetOctets = 1;

// A client library that cannot be loaded throws here, and is tried again at
// the next call.
inline fb::IMaster* Master() {
  static fb::IMaster* master = InterfaceMestreFirebird();
  return master;
}

inline fb::IUtil* Util() {
  static fb::IUtil* util = Master()->getUtilInterface();
  return util;
}

// Firebird's text of an error status, as UTF-8.
std::string TextoStatus(fb::IStatus* status);

// A status for one call sequence; ThrowStatusWrapper turns errors into FbException.
class Status {
 public:
  Status() : status_(Master()->getStatus()), wrapper_(status_) {}
  ~Status() { status_->dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  fb::ThrowStatusWrapper* operator->() { return &wrapper_; }
  fb::ThrowStatusWrapper* get() { return &wrapper_; }

 private:
  fb::IStatus* status_;
  fb::ThrowStatusWrapper wrapper_;
};

template <class T>
struct Liberador {
  void operator()(T* p) const { p->release(); }
};
template <class T>
using Ref = std::unique_ptr<T, Liberador<T>>;

inline std::int64_t DiasDe(Data data) {
  if (!data.ok()) throw ErroBanco("Data inválida");
  return std::chrono::sys_days{data}.time_since_epoch().count();
}

// One ":NAME" of the statement text, in order of appearance.
struct TextoPosicional {
  std::string sql;                  // with "?" in place of every :NAME
  std::vector<std::string> nomes;   // upper case, one per "?"
};

// The statement text with "?" in place of every :NAME outside quotes and comments.
TextoPosicional Posicional(const std::string& sql);

struct Coluna {
  std::string nome;   // alias as the statement gives it
  std::string chave;  // upper case, for the lookup by name
  unsigned tipo = 0;
  int escala = 0;
  unsigned comprimento = 0;
  unsigned deslocamento = 0;
  unsigned deslocamentoNulo = 0;
  unsigned charset = 0;
  int subtipo = 0;
};

// Input message built from the types set on the parameters.
struct Entrada {
  Ref<fb::IMessageMetadata> metadados;
  std::vector<std::pair<int, unsigned>> assinatura;  // type and capacity per position
  std::vector<unsigned> deslocamentos, deslocamentosNulo;
  std::vector<unsigned char> buffer;
};

struct Preparado {
  std::string sql;  // positional text, the key
  Ref<fb::IStatement> comando;
  Ref<fb::IMessageMetadata> saida;
  std::shared_ptr<const std::vector<Coluna>> colunas;
  std::vector<unsigned char> bufferSaida;
  unsigned tamanhoSaida = 0;
  bool temCursor = false;
  Entrada entrada;
};

}  // namespace banco_interno

struct Conexao::Impl {
  fb::IAttachment* anexo = nullptr;
  std::vector<unsigned char> tpb;
  bool utf8 = false;
  // What the attachment was made with, to make it again through the server.
  std::string banco, usuario, senha, charset;
  bool motor_local = false;     // attached by the engine inside this process
  bool servidor_visto = false;  // a local server answered once: never the engine here again
  std::set<Consulta::Impl*> consultas;
};

struct Consulta::Impl {
  using Preparado = banco_interno::Preparado;
  using Status = banco_interno::Status;
  Conexao& conexao;
  std::string sqlOriginal;
  banco_interno::TextoPosicional posicional;
  std::vector<std::string> nomesParametros;   // distinct, upper case
  std::vector<Parametro> parametros;          // same order as nomesParametros
  std::vector<std::size_t> indiceParametro;   // per "?" position
  std::list<Preparado> preparados;            // most recently used first
  std::shared_ptr<const std::vector<banco_interno::Coluna>> colunas;  // of the open result
  std::vector<std::string> textos;            // converted text parameters, per position
  std::vector<ValorCampo> celulas;            // rows × columns
  std::size_t linhas = 0;
  std::size_t posicao = 0;
  bool ativo = false;
  // The last statement run by ExecSQL, asked for its row count only when
  // RowsAffected wants it: through a server every question is a round trip,
  // which would add a third to a run of single-row updates. It belongs to
  // `preparados`, which drops statements only inside Executar (which sets
  // this again) and in LiberarPreparados.
  fb::IStatement* executado = nullptr;

  explicit Impl(Conexao& c) : conexao(c) {}
  void LiberarPreparados() {
    executado = nullptr;
    preparados.clear();
  }
  void Executar(bool abrir);
  Preparado& Preparar(fb::IAttachment* anexo, fb::ITransaction* transacao, Status& st);
  void MontarEntrada(Preparado& p, Status& st);
  void LerLinha(const Preparado& p, const unsigned char* buf, fb::IAttachment* anexo,
                fb::ITransaction* transacao, Status& st);
};
