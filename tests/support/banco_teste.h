// Fresh ERP databases for tests, and small helpers to look into them.
//
// The two template databases (DADOS.FDB from tests/fixtures/erp_schema.sql,
// HISTORICO_SISTEMA.FDB from tests/fixtures/historico_schema.sql) are built
// once per schema text under the build directory, by isql-fb through the
// embedded engine; every test then copies them into its own directory, which
// takes a few milliseconds. Two test processes starting at once are safe.
//
// A test that works on the database only:
//
//   lumiford::teste::PastaTemporaria pasta;
//   auto bancos = lumiford::teste::CopiarBancos(pasta.str());
//   lumiford::teste::ExecutarSQL(bancos.dados,
//       "INSERT INTO CAD_EMPRESA (CADASTRO, CNPJ_CPF) VALUES (7, '12.345.678/0001-95')");
//   auto linhas = lumiford::teste::ConsultarSQL(bancos.dados, "SELECT CADASTRO, CNPJ_CPF FROM CAD_EMPRESA");
//   // linhas[0][1] == "12.345.678/0001-95"; cells are rendered as Campo::AsString does
//   std::string n = lumiford::teste::ValorSQL(bancos.dados, "SELECT COUNT(*) FROM CAD_PESSOA");
//
// A test that runs the service's own code (the data module, the flows):
//
//   lumiford::teste::ConfiguracaoIni ini;       // Empresa=7, Debug=Sim, Servidor=<the Dados folder>
//   lumiford::teste::AmbienteServico amb(ini);   // temp "executable" dir + lumiford.ini + databases
//   amb.Executar("INSERT INTO CAD_EMPRESA (...) VALUES (...)");   // prepare rows before creating dm
//   dm = std::make_unique<Tdm>();                // reads the ini, connects, opens the company
//   ...                                          // run a flow, then look at amb.Log() and the tables
//   dm.reset();                                  // before amb goes out of scope
//
// The embedded engine (ServerMode Super, as installed) lets only one process
// open a database file at a time: a test that starts the service executable
// as a child process must hold no connection to that file meanwhile (the
// helpers below connect and disconnect per call, so they hold none).
//
// AmbienteServico points DiretorioDoExecutavel() at its directory and resets
// the process-wide globals (RestaurarGlobais) when built and when destroyed.
// Only one AmbienteServico may live at a time in a process (gtest runs the
// tests of one process one after another).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dm/banco.h"
#include "tests/support/pasta_temporaria.h"
#include "tests/support/servidor_firebird.h"

namespace lumiford::teste {

struct BancosTeste {
  std::string diretorio;  // where the two files are
  std::string dados;      // .../DADOS.FDB
  std::string historico;  // .../HISTORICO_SISTEMA.FDB
};

// Directory holding the template databases, built on first use.
std::string DiretorioModelos();

// Copies fresh databases into the directory (created when missing).
BancosTeste CopiarBancos(const std::string& diretorio);

// A connection with the service's parameters (FB, WIN1252, sysdba) to a file.
std::unique_ptr<Conexao> AbrirConexao(const std::string& arquivo);

// One statement, committed; throws ErroBanco with Firebird's text.
void ExecutarSQL(const std::string& arquivo, const std::string& sql);
// Every row, every column rendered as text (null gives "").
std::vector<std::vector<std::string>> ConsultarSQL(const std::string& arquivo, const std::string& sql);
// First column of the first row; "" when there is no row.
std::string ValorSQL(const std::string& arquivo, const std::string& sql);

// Keys of section "Lumiford" of lumiford.ini. An empty servidor means "the
// Dados folder that AmbienteServico makes".
struct ConfiguracaoIni {
  std::string empresa = "7";
  std::string lumiford = "/opt/lumiford";
  std::string servidor;
  std::string nome_servidor = "SERVIDOR";
  std::string debug = "Sim";
  std::vector<std::string> linhas_extras;  // written as they are, e.g. "VerificarCertificado=Nao"
};

// Writes <diretorio>/lumiford.ini (UTF-8, CR LF).
void EscreverIni(const std::string& diretorio, const ConfiguracaoIni& ini);

// With a topology that needs one, the tests' own Firebird server runs for
// the life of the environment, and an empty servidor of the settings names
// the Dados folder as the topology reaches it.
class AmbienteServico {
 public:
  explicit AmbienteServico(ConfiguracaoIni ini = {}, Topologia topologia = Topologia::Embutido);
  ~AmbienteServico();
  AmbienteServico(const AmbienteServico&) = delete;
  AmbienteServico& operator=(const AmbienteServico&) = delete;

  const std::string& DiretorioExe() const { return diretorio_exe_; }  // lumiford.ini, Log.txt, Req
  const std::string& Servidor() const { return bancos_.diretorio; }   // the databases, Boleto, NFSe
  const BancosTeste& Bancos() const { return bancos_; }

  void Executar(const std::string& sql) const { ExecutarSQL(bancos_.dados, sql); }
  std::vector<std::vector<std::string>> Consultar(const std::string& sql) const {
    return ConsultarSQL(bancos_.dados, sql);
  }
  std::string Valor(const std::string& sql) const { return ValorSQL(bancos_.dados, sql); }

  // Log.txt as bytes ("" when it does not exist).
  std::string Log() const;

  ServidorFirebird* ServidorBanco() const { return topologia_.Servidor(); }

 private:
  TopologiaBanco topologia_;
  PastaTemporaria pasta_;
  std::string diretorio_exe_;
  BancosTeste bancos_;
};

}  // namespace lumiford::teste
