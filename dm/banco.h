// A small RAII layer over the Firebird object interface: connections and the
// queries of the data module. Text is UTF-8 inside the program and WIN1252 in
// the database; every statement is committed by itself.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "global/datas.h"

// Fixed point amount with four decimals (value × 10000), exact end to end.
struct Moeda {
  std::int64_t dezmilesimos = 0;
  // As a host with the decimal comma reads it: "150,75", "1,5e2", blanks
  // around allowed; more than four decimals are rounded, a half going to the
  // even neighbour; "150.75" and anything else throw.
  static Moeda DeTexto(const std::string& texto);
  std::string ComoTexto() const;                    // decimal comma, no trailing zeros: 150,5  150
  friend bool operator==(Moeda, Moeda) = default;
};

// Any failure reported by the database layer (connection, statement,
// conversion of a value, a character WIN1252 cannot hold).
class ErroBanco : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Conexao {
 public:
  Conexao();
  ~Conexao();
  Conexao(const Conexao&) = delete;
  Conexao& operator=(const Conexao&) = delete;

  // "DriverID=FB", "CharacterSet=WIN1252", "Database=...", "User_Name=...", "Password=..."
  // Names match without regard to case. A Database with "host:" (or
  // "host/port:") in front is opened by that server; a plain path by the
  // local server whenever one answers at the loopback port, and by the
  // engine inside this process only when none does and none ever did for
  // this connection (a server that went away is waited for).
  std::vector<std::string> Params;

  // Throws ErroBanco with Firebird's message, e.g. I/O error during "open"
  // operation for file ...; does nothing when already connected.
  void Connect();
  void Disconnect();   // never throws
  bool Connected() const;
  // Connected by the engine inside this process (a plain path, no server).
  bool ViaMotorLocal() const;
  // When connected by the engine here and a local server answers now: the
  // connection moves to the server, and the file is free for it again.
  // Prepared statements are dropped. False when nothing changed; throws
  // ErroBanco, disconnected, when the server then refuses the connection.
  bool PassarAoServidor();

  struct Impl;
  Impl& impl();
 private:
  std::unique_ptr<Impl> impl_;
};

class Consulta {
 public:
  class Parametro {
   public:
    void AsInteger(std::int64_t valor);
    void AsString(const std::string& valor);
    void AsCurrency(Moeda valor);
    void AsDate(Data valor);
    void Clear();  // null
    bool Definido() const { return definido_; }
   private:
    friend class Consulta;
    enum class Tipo { Nulo, Inteiro, Texto, Moeda, Data } tipo_ = Tipo::Nulo;
    bool definido_ = false;  // a statement with a parameter never set is refused
    std::int64_t inteiro_ = 0;
    std::string texto_;
    Moeda moeda_;
    Data data_{};
  };

  // A value of the current row; valid until the query is closed or opened again.
  class Campo {
   public:
    bool IsNull() const;
    std::string AsString() const;     // as the layer renders it; null gives ""
    std::int64_t AsInteger() const;   // null gives 0; throws when the value is no integer
    double AsFloat() const;           // null gives 0
    DataHora AsDateTime() const;      // null gives DataHora{} (1970-01-01 00:00)
    Moeda AsCurrency() const;         // null gives 0
   private:
    friend class Consulta;
    const struct ValorCampo* valor_ = nullptr;
  };

  // The connection must outlive the query. Up to eight prepared statements
  // are kept per query (they hold the tables they name against DDL from
  // other connections until the query or the connection is closed down).
  explicit Consulta(Conexao& conexao);
  ~Consulta();
  Consulta(const Consulta&) = delete;
  Consulta& operator=(const Consulta&) = delete;

  void Close();
  // Replaces the statement text and its parameters (all unset again). The
  // prepared statement of a text is kept while the text is used again.
  void SetSQL(const std::string& sql);
  const std::string& SQL() const;
  Parametro& ParamByName(const std::string& nome);  // throws when the text has no such :NAME

  void Open();      // SELECT: runs, fetches every row, commits; positioned on the first row
  void ExecSQL();   // INSERT, UPDATE, DELETE: runs and commits

  bool Active() const;
  bool Eof() const;
  void First();
  void Next();
  std::size_t RecordCount() const;
  // Names match without regard to case; with two columns of one name, the
  // first. On an empty result every column reads as null. Throws when there
  // is no such column or the query is not open.
  Campo FieldByName(const std::string& nome) const;
  std::size_t FieldCount() const;
  std::string FieldName(std::size_t indice) const;
  std::int64_t RowsAffected() const;  // of the last ExecSQL, asked of the database when called

  struct Impl;
 private:
  std::unique_ptr<Impl> impl_;
};

// Detaches whatever is still attached and stops the database engine's
// threads; for the end of the process, once no connection is in use.
void EncerrarMotorBanco() noexcept;
