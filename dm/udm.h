// The data module: the two database connections, the company record, the
// shared queries, the HTTP client and the two timers. Everything the flows
// share lives here, for the life of the process.
#pragma once

#include <memory>
#include <string>

#include "api/http.h"
#include "dm/banco.h"
#include "plataforma/temporizador.h"

class Tdm {
 public:
  Tdm();   // runs DataModuleCreate
  ~Tdm();

  Conexao Firebird;
  Conexao Historico_Sistema;
  Consulta FBqrempresa{Firebird};
  Consulta FBqraux1{Firebird};
  Consulta FBqrpessoa_cnpj{Firebird};
  TIdHTTP IdHTTP;
  Temporizador Timer;
  Temporizador Timer_Requisicao;

  // The error of the company record's opening at start, or of its last
  // reading after the connections came back; empty when it read.
  std::string ErroEmpresa;

  void DataModuleCreate();
  // Connects both databases with their parameters; on failure sets
  // ErroConexao and MensagemErroConexao (error text + CR + CR) and returns
  // false. Connections already open are closed first.
  bool ConectarBancos();
  void TimerTimer();
  void Timer_RequisicaoTimer();
};

extern std::unique_ptr<Tdm> dm;

// Opens the company record and arms both timers, unless a connection failed.
void AbrirEmpresa();

// The line logged when the company record cannot be opened, before the error's text.
extern const char* const LinhaFalhaEmpresa;

// The company query, parameter CADASTRO; and the person query, parameter CNPJ_CPF.
extern const char* const SqlEmpresa;
extern const char* const SqlPessoaCnpj;
