// Shared by the tests of the three outgoing flows: company 7 on a fresh
// database, its web service on the simulator, a fixed clock, the pause after
// a POST shortened, and small builders for the ERP rows and the wire bytes.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "api/chamada.h"
#include "api/ufuncoes_api.h"
#include "dm/agendador.h"
#include "dm/udm.h"
#include "global/datas.h"
#include "global/uglobal.h"
#include "tests/api/apoio.h"
#include "tests/support/banco_teste.h"
#include "tests/support/outro_processo.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {

using Linhas = std::vector<std::string>;

inline constexpr const char* kCnpjEmpresa = "12.345.678/0001-95";
inline constexpr const char* kCnpjCliente = "98.765.432/0001-10";
inline constexpr const char* kToken = "tok-7f3a9c";

inline const std::string kCabecalhosFixos =
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Encoding: identity\r\n"
    "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n";

inline DataHora Momento(int ano, unsigned mes, unsigned dia, int hora = 10, int minuto = 0, int segundo = 0) {
  using namespace std::chrono;
  return local_days{year{ano} / month{mes} / day{dia}} + hours{hora} + minutes{minuto} + seconds{segundo};
}

inline void FixarRelogio(DataHora momento) {
  DefinirRelogio([momento] { return momento; });
}

// A receivable of MOV_CONTAS_RECEBER; every field is an SQL literal.
struct Recebivel {
  std::string empresa = "7";
  std::string caixa = "'CM'";
  std::string documento = "'CM'";
  std::string cliente = "10";
  std::string numero = "1234";
  std::string serie = "1";
  std::string parcela = "1";
  std::string emissao = "'2025-03-05'";
  std::string vencimento = "'2025-03-10'";
  std::string valor = "1500";
  std::string saldo = "0";
  std::string id_fatura = "NULL";
  std::string fatura_enviada = "NULL";
  std::string status_envio = "NULL";
  std::string serie_nota = "NULL";
  std::string numero_nota = "NULL";

  std::string Sql() const {
    return "INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
           "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA, STATUS_ENVIO_API, SERIE_NOTA_SERVICO, "
           "NUMERO_NOTA_SERVICO) VALUES (" +
           empresa + ", " + caixa + ", " + documento + ", " + cliente + ", " + numero + ", " + serie + ", " +
           parcela + ", " + emissao + ", " + vencimento + ", " + valor + ", " + saldo + ", " + id_fatura + ", " +
           fatura_enviada + ", " + status_envio + ", " + serie_nota + ", " + numero_nota + ")";
  }
};

// The request head of a POST as the client writes it over plain http.
inline std::string CabecaPost(const std::string& alvo, const std::string& tipo, std::size_t tamanho,
                              const Simulador& sim) {
  return "POST " + alvo + " HTTP/1.0\r\nConnection: keep-alive\r\nContent-Encoding: UTF-8\r\nContent-Type: " + tipo +
         "\r\nContent-Length: " + std::to_string(tamanho) + "\r\nHost: 127.0.0.1:" + std::to_string(sim.Porta()) +
         "\r\n" + kCabecalhosFixos + "\r\n";
}

// The multipart body of one file, as both uploads send it.
inline std::string CorpoArquivo(const std::string& boundary, const std::string& nome, const std::string& dados) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"arquivo\"; filename=\"" + nome +
         "\"\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" + dados +
         "\r\n--" + boundary + "--\r\n";
}

// The file name a recorded upload carried, "" when none.
inline std::string NomeEnviado(const RequisicaoGravada& req) {
  const std::string marca = "filename=\"";
  const auto inicio = req.corpo.find(marca);
  if (inicio == std::string::npos) return {};
  const auto fim = req.corpo.find('"', inicio + marca.size());
  return req.corpo.substr(inicio + marca.size(), fim - inicio - marca.size());
}

// The request target: path and query.
inline std::string Alvo(const RequisicaoGravada& req) {
  const auto inicio = req.cabeca.find(' ') + 1;
  return req.cabeca.substr(inicio, req.cabeca.find(' ', inicio) - inicio);
}

class AmbienteFluxos : public ::testing::Test {
 protected:
  void SetUp() override {
    pausa_anterior_ = DefinirPausaAposPost(std::chrono::milliseconds(0));
    FixarRelogio(Momento(2025, 3, 15));
  }

  void TearDown() override {
    Encerrar();
    FluxosTimer().clear();
    FluxosRequisicao().clear();
    DefinirPausaAposPost(pausa_anterior_);
    DefinirRelogio({});
  }

  // Fresh databases and settings for the company, its record pointing at the
  // simulator (or at the address given), and the data module. The log starts
  // empty; ModoDebug is "Sim" or not as asked.
  void Iniciar(bool debug = false, int empresa = 7, std::optional<std::string> endereco = std::nullopt,
               const std::string& intervalo = "10") {
    Encerrar();
    ConfiguracaoIni ini;
    ini.empresa = std::to_string(empresa);
    ini.debug = debug ? "Sim" : "Nao";
    amb_.emplace(ini, topologia);
    const std::string destino = endereco ? *endereco : "127.0.0.1:" + std::to_string(sim.Porta());
    amb_->Executar(
        "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
        "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN) VALUES (" +
        std::to_string(empresa) + ", 'Empresa', '" + kCnpjEmpresa + "', " + intervalo + ", '2', 'http', '" + destino +
        "', '" + kToken + "')");
    dm = std::make_unique<Tdm>();
    ASSERT_FALSE(ErroConexao) << MensagemErroConexao;
    ASSERT_EQ(dm->Firebird.ViaMotorLocal(), topologia == Topologia::Embutido) << "not reached as the topology says";
    LimparLog();
  }

  void Encerrar() {
    dm.reset();
    amb_.reset();
  }

  AmbienteServico& Amb() { return *amb_; }
  void Executar(const std::string& sql) { amb_->Executar(sql); }
  std::string Valor(const std::string& sql) { return amb_->Valor(sql); }

  void Pessoa(int cadastro, const std::string& cnpj_literal) {
    Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (" + std::to_string(cadastro) +
             ", 'Cliente', " + cnpj_literal + ")");
  }
  void Contrato(int numero, const std::string& ano, const std::string& mes, int empresa = 7) {
    Executar("INSERT INTO MOV_CONTRATO_MANUTENCAO (EMPRESA, NUMERO, ANO_REFERENCIA, MES_REFERENCIA) VALUES (" +
             std::to_string(empresa) + ", " + std::to_string(numero) + ", " + ano + ", " + mes + ")");
  }

  std::string CaminhoLog() const { return amb_->DiretorioExe() + "/Log.txt"; }
  Linhas Mensagens() const { return SemMotivos(MensagensDoLog(CaminhoLog())); }
  Linhas MensagensComMotivos() const { return MensagensDoLog(CaminhoLog()); }
  void LimparLog() const { std::filesystem::remove(CaminhoLog()); }

  // Writes a file, creating its directories.
  static void CriarArquivo(const std::filesystem::path& caminho, const std::string& dados) {
    std::filesystem::create_directories(caminho.parent_path());
    std::ofstream saida(caminho, std::ios::binary);
    saida << dados;
    ASSERT_TRUE(saida.good()) << caminho;
  }

  // The boundary of every body created at the fixed clock of SetUp.
  static std::string BoundaryFixo() { return "--------031525100000000"; }

  Simulador sim;
  // How the database is reached (EmCadaTopologia sets it per test).
  Topologia topologia = Topologia::Embutido;

 private:
  std::optional<AmbienteServico> amb_;
  std::chrono::milliseconds pausa_anterior_{250};
};

}  // namespace lumiford::teste
