#include "dm/udm.h"

#include <chrono>
#include <exception>
#include <string>

#include "global/log.h"
#include "global/uglobal.h"
#include "plataforma/caminhos.h"

std::unique_ptr<Tdm> dm;

const char* const LinhaFalhaEmpresa = "Erro ao abrir o cadastro da empresa: ";

const char* const SqlEmpresa =
    "SELECT E.*, CI.NOME NOME_CIDADE, CI.ESTADO, CI.PAIS, PA.NOME NOME_PAIS, AI.CODIGO_ESTADO_IBGE, "
    "EAF.DESCRICAO DESCRICAO_ETIQUETA_PADRAO FROM CAD_EMPRESA E LEFT OUTER JOIN CAD_CIDADE CI "
    "ON(CI.CADASTRO = E.CIDADE) LEFT OUTER JOIN CAD_PAIS PA ON (PA.CADASTRO = CI.PAIS) LEFT OUTER JOIN "
    "CAD_ALIQUOTA_ICMS_ESTADO AI ON (AI.ESTADO = CI.ESTADO) LEFT OUTER JOIN CAD_MODELO_ETIQUETA EAF ON "
    "(EAF.CADASTRO = E.API_FORNECEDOR_ETIQUETA) WHERE E.CADASTRO = :CADASTRO";

const char* const SqlPessoaCnpj =
    "SELECT P.*, CI.ESTADO, A.CODIGO_ESTADO_IBGE FROM CAD_PESSOA P LEFT OUTER JOIN CAD_CIDADE CI ON "
    "(CI.CADASTRO = P.CIDADE) LEFT OUTER JOIN CAD_ALIQUOTA_ICMS_ESTADO A ON (A.ESTADO = CI.ESTADO) "
    "WHERE P.CNPJ_CPF = :CNPJ_CPF ORDER BY P.CADASTRO";

namespace {

void DefinirParametros(Conexao& conexao, const std::string& arquivo) {
  conexao.Params.clear();
  conexao.Params.push_back("DriverID=FB");
  conexao.Params.push_back("CharacterSet=WIN1252");
  conexao.Params.push_back("Database=" + DiretorioServidor + SeparadorCaminho + arquivo);
  conexao.Params.push_back("User_Name=sysdba");
  conexao.Params.push_back("Password=bluefjord");
}

bool Conectar(Conexao& conexao, const std::string& arquivo) {
  DefinirParametros(conexao, arquivo);
  try {
    conexao.Connect();
    return true;
  } catch (const std::exception& e) {
    ErroConexao = true;
    MensagemErroConexao = std::string(e.what()) + "\r\r";
    return false;
  }
}

// The data module is still being built while its creation handler runs, so
// the global dm may not point at it yet.
void AbrirEmpresaEm(Tdm& modulo) {
  if (ErroConexao) return;
  modulo.FBqrempresa.Close();
  modulo.FBqrempresa.SetSQL(SqlEmpresa);
  modulo.FBqrempresa.ParamByName("CADASTRO").AsInteger(CodigoEmpresa);
  modulo.FBqrempresa.Open();
  modulo.Timer.SetInterval(1000);
  modulo.Timer.SetEnabled(true);
  modulo.Timer_Requisicao.SetInterval(1000);
  modulo.Timer_Requisicao.SetEnabled(true);
}

}  // namespace

Tdm::Tdm() {
  FBqrpessoa_cnpj.SetSQL(SqlPessoaCnpj);
  DataModuleCreate();
}

Tdm::~Tdm() {
  Timer.SetEnabled(false);
  Timer_Requisicao.SetEnabled(false);
}

bool Tdm::ConectarBancos() {
  ErroConexao = false;
  MensagemErroConexao.clear();
  Firebird.Disconnect();
  Historico_Sistema.Disconnect();
  bool ok = Conectar(Firebird, "DADOS.FDB");
  // The history database is connected as well, and its failure counts the same.
  ok = Conectar(Historico_Sistema, "HISTORICO_SISTEMA.FDB") && ok;
  return ok;
}

void Tdm::DataModuleCreate() {
  LerConfiguracao();
  ConectarBancos();
  try {
    AbrirEmpresaEm(*this);
  } catch (const std::exception& e) {
    // Without its company record the service cannot work: leave the timers off.
    FBqrempresa.Close();
    ErroEmpresa = e.what();
    GravarLog(LinhaFalhaEmpresa + ErroEmpresa);
  }
  IdHTTP.ReadTimeout(std::chrono::milliseconds(10000));
  IdHTTP.ConnectTimeout(std::chrono::milliseconds(5000));
  if (!MensagemErroConexao.empty())
    GravarLog("Erro ao conectar na Base de Dados:\r" + MensagemErroConexao);
}

void AbrirEmpresa() {
  if (!dm) return;
  AbrirEmpresaEm(*dm);
}
