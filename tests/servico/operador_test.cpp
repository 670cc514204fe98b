// The operator's switches on the real executable: ONCE runs both timers'
// flows against the supplier simulator and a real database, CHECK looks at
// an installation without sending a request, HELP touches nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/servico/apoio_processo.h"
#include "tests/support/servidor_firebird.h"
#include "tests/support/porta_reservada.h"
#include "tests/support/simulador.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

const char* const Exe = LUMIFORD_EXE;

constexpr const char* kToken = "segredo-7f3a9c";
constexpr const char* kTokenMascarado = "segr****";

// One billing item of a client the ERP does not know yet.
const std::string kFaturamentoJson =
    R"({"error":false,"data":[{"id_fatura":9003,"ano":2025,"mes":4,"aliquota":3,"valorCobranca":320,)"
    R"("observacao":"Cliente novo","nome":"Construtora Horizonte","cnpj":"45.678.901/0001-23","ie":"ISENTO",)"
    R"("endereco":"Rua Augusta","numero":"1500","bairro":"Centro","complemento":"sala 12","cep":"01310-100",)"
    R"("codigoIbge":3550308,"contatos":[{"tipo":"email","contato":"financeiro@horizonte.example"}]}]})";

// Company 7 with one piece of work for every flow: a paid receivable with
// an invoice identifier (also a contract receivable with its boleto PDF and
// its authorised service invoice with the XML), and a pending billing request.
void PrepararEmpresa(Instalacao& inst, const std::string& conexao, const std::string& endereco,
                     const std::string& integracao = "2") {
  PrepararEmpresaComTrabalho(inst, conexao, endereco, "1", integracao, kToken);
  inst.Sql("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) "
           "VALUES (7, 1, 'BUSCAR_FATURAMENTO_API')");
}

// Replies that accept everything; the billing reply may be another.
void AceitarTudo(Simulador& sim, Resposta faturamento = Resposta::Json(kFaturamentoJson)) {
  sim.Responder(kFaturado, Resposta::Json(R"({"error": false, "messageSuccess": [{"message": "Registro recebido", )"
                                          R"("id_fatura": 501}], "messageError": []})"));
  sim.Responder(kBoleto, Resposta::Json(R"({"sucess": true, "message": "Boleto recebido"})"));
  sim.Responder(kNotaFiscal, Resposta::Json(R"({"sucess": true, "message": "XML recebido"})"));
  sim.Responder(kFaturamento, std::move(faturamento));
}

std::vector<std::string> Caminhos(const Simulador& sim) {
  std::vector<std::string> caminhos;
  for (const auto& req : sim.Requisicoes()) caminhos.push_back(req.caminho);
  return caminhos;
}

std::string Local(const Simulador& sim) { return "127.0.0.1:" + std::to_string(sim.Porta()); }

// What the four flows leave in the database.
struct Marcas {
  bool fatura_informada, boleto_enviado, nota_enviada, faturamento_importado;
};

void ConferirMarcas(const Instalacao& inst, const Marcas& esperado, bool com_fatura_enviada = true) {
  if (com_fatura_enviada) {
    EXPECT_EQ(inst.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = 501"),
              esperado.fatura_informada ? "2" : "1");
  }
  EXPECT_EQ(inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER WHERE NUMERO = 1001"),
            esperado.boleto_enviado ? "Enviado" : "");
  EXPECT_EQ(inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA WHERE NUMERO = 457"),
            esperado.nota_enviada ? "Enviado" : "");
  const bool importado = esperado.faturamento_importado;
  EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM CAD_PESSOA WHERE CNPJ_CPF = '45.678.901/0001-23'"), importado ? "1" : "0");
  EXPECT_EQ(inst.Consultar("SELECT ID_FATURA, CLIENTE FROM MOV_IT_CONTRATO_FATURAMENTO WHERE EMPRESA = 7").size(),
            importado ? 1u : 0u);
  if (importado) {
    EXPECT_EQ(inst.Valor("SELECT I.ID_FATURA FROM MOV_IT_CONTRATO_FATURAMENTO I JOIN CAD_PESSOA P "
                         "ON P.CADASTRO = I.CLIENTE WHERE P.CNPJ_CPF = '45.678.901/0001-23'"),
              "9003");
  }
  // The request stays until an import got through.
  EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO WHERE EMPRESA = 7"), importado ? "0" : "1");
}

// Firebird's texts of several lines, as one line shows them.
std::string EmUmaLinhaTeste(std::string texto) {
  for (auto& c : texto)
    if (c == '\n' || c == '\r') c = ' ';
  return texto;
}

void SemCicloDeVida(const std::vector<std::string>& linhas) {
  for (const char* linha : {"Service - Start", "Service - Stop", "Service - Shutdown"})
    EXPECT_EQ(Contar(linhas, linha), 0u) << linha;
}

// ---------------------------------------------------------------- ONCE

// Each flow once, in every way the database is reached: with /ONCE, which
// ends by itself, and in service mode, stopped once every flow has run.
enum class Modo { UmaVez, Servico };
struct ExecucaoDosFluxos {
  Topologia topologia;
  Modo modo;
};
void PrintTo(const ExecucaoDosFluxos& e, std::ostream* saida) {
  *saida << NomeTopologia(e.topologia) << (e.modo == Modo::UmaVez ? "/ONCE" : " service");
}

class FluxosDoExecutavel : public ::testing::TestWithParam<ExecucaoDosFluxos> {};

TEST_P(FluxosDoExecutavel, RunsEachFlowOnceAndEnds) {
  const auto [topologia, modo] = GetParam();
  struct Caso {
    const char* nome;
    std::string integracao;
    std::vector<std::string> caminhos;
    Marcas marcas;
    std::string saida;
  };
  std::vector<Caso> casos = {
      {"integration on", "2", {kFaturado, kBoleto, kNotaFiscal, kFaturamento}, {true, true, true, true},
       "Faturas pagas: 1 informada, 0 com erro\n"
       "Boletos: 1 enviado, 0 com erro\n"
       "Notas de serviço: 1 enviada, 0 com erro\n"
       "Faturamento: 1 fatura importada, 1 cliente cadastrado, 0 com erro\n"},
  };
  // Off, the service would have nothing to wait for.
  if (modo == Modo::UmaVez)
    casos.push_back({"integration off", "1", {}, {false, false, false, false},
                     "Integração desligada para a empresa (USA_INTEGRACAO_API_FINANCEIRO = '1'): nada foi enviado nem "
                     "importado.\n"});
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim;
    AceitarTudo(sim);
    Instalacao inst(Exe, "servico", topologia);
    inst.Configurar("7", true, "Sim");
    PrepararEmpresa(inst, "http", Local(sim), caso.integracao);

    int codigo = -1;
    std::string erros;
    if (modo == Modo::UmaVez) {
      const auto r = inst.Rodar({"/ONCE"});
      codigo = r.codigo;
      erros = r.erros;
      EXPECT_EQ(r.saida, caso.saida);
    } else {
      auto servico = inst.Iniciar({});
      // Watched from outside the database, which the engine in the service
      // may hold alone: every request made and the import written. A stop
      // lets the row in hand end, so the marks follow.
      const bool feito = Aguardar(
          [&] {
            return sim.Requisicoes().size() >= caso.caminhos.size() &&
                   Contar(inst.Linhas(), "Faturamento Gravado com Sucesso.") > 0;
          },
          60s);
      EXPECT_TRUE(feito) << servico->Erros() << ::testing::PrintToString(inst.Linhas());
      servico->Sinal(SIGTERM);
      codigo = servico->Esperar().value_or(-1);
      erros = servico->Erros();
    }
    EXPECT_EQ(codigo, 0) << erros;
    EXPECT_EQ(erros, "");
    // The two timers run side by side in service mode: each flow once, in
    // Timer's order.
    auto caminhos = Caminhos(sim);
    if (modo == Modo::Servico) {
      std::erase(caminhos, std::string(kFaturamento));
      EXPECT_EQ(Contar(Caminhos(sim), kFaturamento), 1u);
      caminhos.push_back(kFaturamento);
    }
    EXPECT_EQ(caminhos, caso.caminhos);
    ConferirMarcas(inst, caso.marcas);

    const auto linhas = inst.Linhas();
    if (modo == Modo::UmaVez) {
      SemCicloDeVida(linhas);
    } else {
      EXPECT_EQ(Contar(linhas, "Service - Start"), 1u);
      EXPECT_EQ(Contar(linhas, "Service - Stop"), 1u);
    }
    const std::size_t vezes = caso.caminhos.empty() ? 0u : 1u;
    EXPECT_EQ(Contar(linhas, "Buscando os Titulos Pagos."), vezes);
    EXPECT_EQ(Contar(linhas, "Enviando os Boletos para a API."), vezes);
    EXPECT_EQ(Contar(linhas, "Enviando os arquivos XML das Notas de Serviço para a API."), vezes);
    EXPECT_EQ(Contar(linhas, "Recebendo os dados dos faturamentos."), vezes);
    EXPECT_EQ(Contar(linhas, "Erro ao ler a resposta da API."), 0u);
  }
}

std::vector<ExecucaoDosFluxos> Execucoes() {
  std::vector<ExecucaoDosFluxos> execucoes;
  for (const Topologia topologia : kTopologias)
    for (const Modo modo : {Modo::UmaVez, Modo::Servico}) execucoes.push_back({topologia, modo});
  return execucoes;
}
INSTANTIATE_TEST_SUITE_P(Topologia, FluxosDoExecutavel, ::testing::ValuesIn(Execucoes()),
                         [](const ::testing::TestParamInfo<ExecucaoDosFluxos>& info) {
                           return NomeTopologia(info.param.topologia) +
                                  (info.param.modo == Modo::UmaVez ? "_Once" : "_Servico");
                         });

TEST(UmaVez, AnErrorThatLeavesAFlowExitsWithOneAndTheOtherTimerStillRuns) {
  Resposta html = Resposta::Json("<html><body>Servidor em manutencao</body></html>");
  html.tipo = "text/html";
  struct Caso {
    const char* nome;
    Resposta faturamento;
    std::string sql;   // run on the database before the executable
    std::string erro;  // part of the error's text on standard error
    std::vector<std::string> caminhos;
    Marcas marcas;
    bool com_fatura_enviada = true;
    std::string saida;  // the summary; "*" stands for the error's text
  };
  const std::string enviados = "Faturas pagas: 1 informada, 0 com erro\nBoletos: 1 enviado, 0 com erro\n"
                               "Notas de serviço: 1 enviada, 0 com erro\n";
  const std::string interrompido =
      "Faturamento: 0 faturas importadas, 0 clientes cadastrados, 0 com erro; interrompido por um erro (*)\n";
  const Caso casos[] = {
      {"billing reply that is not JSON", html, "", "não é um objeto JSON",
       {kFaturado, kBoleto, kNotaFiscal, kFaturamento}, {true, true, true, false}, true, enviados + interrompido},
      {"billing request whose connection is reset", Resposta::ComFalha(Resposta::Falha::Reset), "", "Connection reset by peer",
       {kFaturado, kBoleto, kNotaFiscal, kFaturamento}, {true, true, true, false}, true, enviados + interrompido},
      // An ERP database without the column the paid-invoice selection reads:
      // Timer's run ends at its first flow, the billing import runs all the same.
      {"paid-invoice selection that the database refuses", Resposta::Json(kFaturamentoJson),
       "ALTER TABLE MOV_CONTAS_RECEBER DROP FATURA_ENVIADA", "Column unknown\n-R.FATURA_ENVIADA",
       {kFaturamento}, {false, false, false, true}, false,
       "Faturas pagas: 0 informadas, 0 com erro; interrompido por um erro (*)\nBoletos: não rodou\n"
       "Notas de serviço: não rodou\nFaturamento: 1 fatura importada, 1 cliente cadastrado, 0 com erro\n"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim;
    AceitarTudo(sim, caso.faturamento);
    Instalacao inst(Exe);
    inst.Configurar("7", true, "Sim");
    PrepararEmpresa(inst, "http", Local(sim));
    if (!caso.sql.empty()) inst.Sql(caso.sql);

    const auto r = inst.Rodar({"-once"});
    EXPECT_EQ(r.codigo, 1);
    // The error that left the flow, once, as the service reports it.
    EXPECT_EQ(r.erros.rfind("lumiford_financeiro: ", 0), 0u) << r.erros;
    EXPECT_EQ(r.erros.find("lumiford_financeiro: ", 1), std::string::npos) << r.erros;
    EXPECT_NE(r.erros.find(caso.erro), std::string::npos) << r.erros;
    // The flow the error left names it on its line, on one line.
    const std::size_t asterisco = caso.saida.find('*');
    ASSERT_NE(asterisco, std::string::npos);
    EXPECT_EQ(r.saida.substr(0, asterisco), caso.saida.substr(0, asterisco)) << r.saida;
    const std::string fim = caso.saida.substr(asterisco + 1);
    ASSERT_GE(r.saida.size(), asterisco + fim.size()) << r.saida;
    const std::string motivo = r.saida.substr(asterisco, r.saida.size() - asterisco - fim.size());
    EXPECT_EQ(r.saida.substr(r.saida.size() - fim.size()), fim) << r.saida;
    EXPECT_NE(EmUmaLinhaTeste(motivo).find(EmUmaLinhaTeste(caso.erro)), std::string::npos) << r.saida;
    EXPECT_EQ(motivo.find('\n'), std::string::npos) << r.saida;
    EXPECT_EQ(Caminhos(sim), caso.caminhos);
    ConferirMarcas(inst, caso.marcas, caso.com_fatura_enviada);
    SemCicloDeVida(inst.Linhas());
  }
}

// Every outcome a flow can have, counted by the flow: the exit code is 1 as
// soon as one flow logged an error (the supplier down, a document or an
// invoice refused, a database error the flow caught), and a file the ERP has
// not written yet is waiting, not a failure. The cause of a fixed error line
// reaches Log.txt with debug off.
TEST(UmaVez, TellsWhatEachFlowDidAndFailsOnAnyErrorItLogged) {
  struct Caso {
    const char* nome;
    std::function<void(Instalacao&, Simulador&)> preparar;
    bool fornecedor_fora;  // the company's address is a port nobody listens on
    int codigo;
    std::string saida;                    // "{endereco}": the supplier's address
    std::vector<std::string> log;         // lines Log.txt must have
  };
  const std::string recusada = "Não foi possível conectar a {endereco}: Connection refused";
  const std::string importado = "Faturamento: 1 fatura importada, 1 cliente cadastrado, 0 com erro\n";
  const Caso casos[] = {
      {"supplier down", [](Instalacao&, Simulador&) {}, true, 1,
       "Faturas pagas: 0 informadas, 1 com erro (" + recusada + ")\n"
       "Boletos: 0 enviados, 1 com erro (" + recusada + ")\n"
       "Notas de serviço: 0 enviadas, 1 com erro (" + recusada + ")\n"
       "Faturamento: 0 faturas importadas, 0 clientes cadastrados, 0 com erro; interrompido por um erro (" +
           recusada + ")\n",
       {"Erro Desconhecido.", "Motivo: " + recusada, "Erro ao ler a resposta da API."}},
      {"boleto refused", [](Instalacao&, Simulador& sim) {
         sim.Responder(kBoleto, Resposta::Json(R"({"sucess": false, "message": "Boleto sem linha digitável"})"));
       }, false, 1,
       "Faturas pagas: 1 informada, 0 com erro\n"
       "Boletos: 0 enviados, 1 com erro (Erro ao enviar arquivo. Boleto sem linha digitável)\n"
       "Notas de serviço: 1 enviada, 0 com erro\n" + importado,
       {"Erro ao enviar arquivo. Boleto sem linha digitável"}},
      {"paid invoice refused", [](Instalacao&, Simulador& sim) {
         sim.Responder(kFaturado, Resposta::Json(R"({"error": true, "messageSuccess": [], )"
                                                 R"("messageError": [{"message": "Fatura cancelada", "id_fatura": 501}]})"));
       }, false, 1,
       "Faturas pagas: 0 informadas, 1 com erro (Id: 501 - Erro: Fatura cancelada)\n"
       "Boletos: 1 enviado, 0 com erro\nNotas de serviço: 1 enviada, 0 com erro\n" + importado,
       {"Id: 501 - Erro: Fatura cancelada"}},
      {"error status", [](Instalacao&, Simulador& sim) {
         sim.Responder(kNotaFiscal, Resposta::Status(500, "Internal Server Error", "falha interna"));
       }, false, 1,
       "Faturas pagas: 1 informada, 0 com erro\nBoletos: 1 enviado, 0 com erro\n"
       "Notas de serviço: 0 enviadas, 1 com erro (HTTP/1.1 500 Internal Server Error)\n" + importado,
       {"Erro.: falha interna", "Erro ao ler a resposta da API."}},
      {"files the ERP has not written yet", [](Instalacao& inst, Simulador&) {
         fs::remove_all(inst.Dados() / "Boleto");
         fs::remove_all(inst.Dados() / "NFSe");
       }, false, 0,
       "Faturas pagas: 1 informada, 0 com erro\n"
       "Boletos: 0 enviados, 1 arquivo não encontrado, 0 com erro\n"
       "Notas de serviço: 0 enviadas, 1 arquivo não encontrado, 0 com erro\n" + importado,
       {}},
      {"client the database refuses", [](Instalacao& inst, Simulador&) {
         inst.Sql("CREATE EXCEPTION E_CADASTRO_RECUSADO 'cadastro recusado pelo ERP'");
         inst.Sql("CREATE TRIGGER T_CADASTRO_RECUSADO FOR CAD_PESSOA BEFORE INSERT AS "
                  "BEGIN EXCEPTION E_CADASTRO_RECUSADO; END");
       }, false, 1,
       "Faturas pagas: 1 informada, 0 com erro\nBoletos: 1 enviado, 0 com erro\n"
       "Notas de serviço: 1 enviada, 0 com erro\n"
       "Faturamento: 0 faturas importadas, 0 clientes cadastrados, 1 com erro (*cadastro recusado pelo ERP*)\n",
       {"Erro ao buscar o Cliente. Fatura Nr: 9003"}},
  };
  const auto trocar = [](std::string texto, const std::string& de, const std::string& para) {
    for (std::size_t i = texto.find(de); i != std::string::npos; i = texto.find(de, i + para.size()))
      texto.replace(i, de.size(), para);
    return texto;
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim;
    std::optional<PortaReservada> fora;
    if (caso.fornecedor_fora) fora.emplace();
    const std::string endereco = fora ? "127.0.0.1:" + std::to_string(fora->Porta()) : Local(sim);
    Instalacao inst(Exe);
    inst.Configurar("7");  // debug off: the causes are logged all the same
    PrepararEmpresa(inst, "http", endereco);
    caso.preparar(inst, sim);
    AceitarTudo(sim);  // after the case's own replies, which come first

    const auto r = inst.Rodar({"/ONCE"});
    EXPECT_EQ(r.codigo, caso.codigo) << r.saida << r.erros;
    const std::string esperado = trocar(caso.saida, "{endereco}", endereco);
    const std::size_t asterisco = esperado.find('*');
    if (asterisco == std::string::npos) {
      EXPECT_EQ(r.saida, esperado);
    } else {
      // The database's own text around the exception's message.
      EXPECT_EQ(r.saida.substr(0, asterisco), esperado.substr(0, asterisco)) << r.saida;
      const std::size_t segundo = esperado.find('*', asterisco + 1);
      EXPECT_NE(r.saida.find(esperado.substr(asterisco + 1, segundo - asterisco - 1)), std::string::npos) << r.saida;
      EXPECT_EQ(r.saida.substr(r.saida.size() - (esperado.size() - segundo - 1)), esperado.substr(segundo + 1));
    }
    if (caso.codigo == 0) {
      EXPECT_EQ(r.erros, "");
    }
    const auto linhas = inst.Linhas();
    for (const auto& linha : caso.log) EXPECT_GE(Contar(linhas, trocar(linha, "{endereco}", endereco)), 1u) << linha;
    // Every fixed error line is followed by its cause.
    for (std::size_t i = 0; i < linhas.size(); ++i) {
      if (linhas[i] == "Erro Desconhecido." || linhas[i] == "Erro ao ler a resposta da API.") {
        ASSERT_LT(i + 1, linhas.size());
        EXPECT_EQ(linhas[i + 1].rfind("Motivo: ", 0), 0u) << linhas[i + 1];
      }
    }
    EXPECT_EQ(r.saida.find(kToken), std::string::npos);
    EXPECT_EQ(Ler(inst.Log()).find(kToken), std::string::npos);
  }
}

TEST(UmaVez, WhatKeepsEveryFlowFromRunningExitsWithOneAndTheReason) {
  struct Caso {
    const char* nome;
    std::function<void(Instalacao&)> preparar;
    std::vector<std::string> erros;  // parts of standard error, in this order
  };
  const Caso casos[] = {
      {"no database",
       [](Instalacao& inst) { inst.Configurar("7", false, "Sim"); },
       {"Erro ao conectar na Base de Dados: ", "/servico/dados/", "No such file or directory"}},
      // The record was read at start, failed, and only the log knew why.
      {"company table unreadable",
       [](Instalacao& inst) {
         inst.Configurar("7", true, "Sim");
         inst.Sql("DROP TABLE CAD_EMPRESA");
       },
       {"Erro ao abrir o cadastro da empresa: ", "Table unknown\n-CAD_EMPRESA"}},
      {"Log.txt that cannot be written",
       [](Instalacao& inst) {
         inst.Configurar("7", true, "Sim");
         fs::create_directory(inst.Log());
       },
       {"Log.txt", "Erro: o módulo de dados não foi criado: ", "Log.txt não é um arquivo comum.\n"}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Simulador sim;
    AceitarTudo(sim);
    Instalacao inst(Exe);
    caso.preparar(inst);

    const auto r = inst.Rodar({"/once"});
    EXPECT_EQ(r.codigo, 1);
    std::size_t desde = 0;
    for (const auto& trecho : caso.erros) {
      desde = r.erros.find(trecho, desde);
      ASSERT_NE(desde, std::string::npos) << trecho << "\n" << r.erros;
    }
    // Firebird's trailing line breaks are not passed on.
    EXPECT_EQ(r.erros.find('\r'), std::string::npos);
    EXPECT_EQ(r.erros.find("\n\n"), std::string::npos) << r.erros;
    EXPECT_EQ(sim.Conexoes(), 0);
    if (fs::is_regular_file(inst.Log())) SemCicloDeVida(inst.Linhas());
  }
}

// ---------------------------------------------------------------- CHECK

std::vector<std::string> LinhasDe(const std::string& texto) {
  std::vector<std::string> linhas;
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    const std::size_t fim = std::min(texto.find('\n', inicio), texto.size());
    linhas.push_back(texto.substr(inicio, fim - inicio));
    inicio = fim + 1;
  }
  return linhas;
}

// The text after a label, or nothing when no line carries it.
std::optional<std::string> Valor(const std::vector<std::string>& linhas, const std::string& rotulo) {
  for (const auto& linha : linhas)
    if (linha.rfind(rotulo, 0) == 0) return linha.substr(rotulo.size());
  return std::nullopt;
}

const char* const kRotulos[] = {
    "Configuração.......: ", "Aviso..............: ", "Empresa............: ", "Banco de dados.....: ", "Histórico..........: ",
    "Boletos............: ", "Notas de serviço...: ", "Conexão............: ", "Acesso ao banco....: ",
    "Cadastro da empresa: ", "Integração.........: ", "Intervalo..........: ",
    "Web service........: ", "Alcance............: ", "Resultado..........: ",
};

TEST(Verificacao, ReportsEachPartAndSendsNoRequest) {
  enum class Servidor { Simulador, PortaFechada };
  enum class Banco { Pronto, Ausente, SemCadastro };
  struct Caso {
    const char* nome;
    Servidor servidor;
    Simulador::Certificado certificado;
    Banco banco;
    std::string integracao;
    int codigo;
    std::string conexao;  // start of the connection line's value
    std::string alcance;  // start of the reachability line's value; "" when there is none
  };
  using C = Simulador::Certificado;
  const Caso casos[] = {
      {"https with the test CA", Servidor::Simulador, C::Confiavel, Banco::Pronto, "2", 0, "OK", "OK, TLS"},
      {"plain http", Servidor::Simulador, C::Nenhum, Banco::Pronto, "2", 0, "OK", "OK, conexão aceita (http)"},
      {"nothing listening", Servidor::PortaFechada, C::Nenhum, Banco::Pronto, "2", 1, "OK", "ERRO: "},
      {"self-signed certificate", Servidor::Simulador, C::NaoConfiavel, Banco::Pronto, "2", 1, "OK", "ERRO: "},
      {"certificate of another host", Servidor::Simulador, C::HostErrado, Banco::Pronto, "2", 1, "OK", "ERRO: "},
      {"integration off", Servidor::Simulador, C::Confiavel, Banco::Pronto, "1", 1, "OK", "OK, TLS"},
      {"missing database", Servidor::Simulador, C::Confiavel, Banco::Ausente, "2", 1, "ERRO: ", ""},
      {"company table unreadable", Servidor::Simulador, C::Confiavel, Banco::SemCadastro, "2", 1, "OK", ""},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    std::optional<Simulador> sim;
    std::optional<PortaReservada> fechada;
    std::uint16_t porta = 0;
    if (caso.servidor == Servidor::Simulador) {
      sim.emplace(caso.certificado);
      AceitarTudo(*sim);
      porta = sim->Porta();
    } else {
      fechada.emplace();
      porta = fechada->Porta();
    }
    const bool tls = caso.certificado != C::Nenhum;
    const std::string esquema = tls ? "https" : "http";

    Instalacao inst(Exe);
    const fs::path ca = inst.Temp() / "ca.pem";
    if (sim) sim->GravarCa(ca.string());
    const bool bancos = caso.banco != Banco::Ausente;
    inst.Configurar("7", bancos, "", {"CertificadoCA=" + ca.string()});
    if (bancos) PrepararEmpresa(inst, esquema, "127.0.0.1:" + std::to_string(porta), caso.integracao);
    if (caso.banco == Banco::SemCadastro) inst.Sql("DROP TABLE CAD_EMPRESA");

    const auto r = inst.Rodar({"/CHECK"});
    EXPECT_EQ(r.codigo, caso.codigo) << r.saida << r.erros;
    const auto linhas = LinhasDe(r.saida);
    // One labelled line per item, whatever the texts they carry.
    for (const auto& linha : linhas) {
      EXPECT_TRUE(std::any_of(std::begin(kRotulos), std::end(kRotulos),
                              [&linha](const char* rotulo) { return linha.rfind(rotulo, 0) == 0; }))
          << linha;
    }
    EXPECT_EQ(Valor(linhas, "Empresa............: "), "7") << r.saida;
    EXPECT_EQ(Valor(linhas, "Banco de dados.....: "), (inst.Dados() / "DADOS.FDB").string());
    EXPECT_EQ(Valor(linhas, "Histórico..........: "), (inst.Dados() / "HISTORICO_SISTEMA.FDB").string());
    const auto conexao = Valor(linhas, "Conexão............: ");
    ASSERT_TRUE(conexao.has_value()) << r.saida;
    EXPECT_EQ(conexao->rfind(caso.conexao, 0), 0u) << *conexao;

    const auto cadastro = Valor(linhas, "Cadastro da empresa: ");
    if (caso.banco == Banco::SemCadastro) {
      // The reason the record could not be read, not a record "not found".
      EXPECT_EQ(cadastro.value_or("").rfind("ERRO: ", 0), 0u) << r.saida;
      EXPECT_NE(cadastro.value_or("").find("CAD_EMPRESA"), std::string::npos) << r.saida;
    } else {
      EXPECT_EQ(cadastro, std::nullopt) << r.saida;
    }
    if (caso.banco == Banco::Pronto) {
      EXPECT_EQ(Valor(linhas, "Integração.........: ").value_or("").rfind(caso.integracao == "2" ? "ligada" : "desligada", 0),
                0u)
          << r.saida;
      EXPECT_EQ(Valor(linhas, "Intervalo..........: ").value_or("").rfind("1 minuto(s) = 60000 ms", 0), 0u) << r.saida;
      // The token shows its first four characters only.
      EXPECT_EQ(Valor(linhas, "Web service........: "),
                esquema + "://127.0.0.1:" + std::to_string(porta) + "?token_erp=" + kTokenMascarado);
    } else {
      EXPECT_EQ(Valor(linhas, "Web service........: "), std::nullopt);
    }
    EXPECT_EQ(r.saida.find(kToken), std::string::npos);
    EXPECT_EQ(r.erros.find(kToken), std::string::npos);

    const auto alcance = Valor(linhas, "Alcance............: ");
    if (caso.alcance.empty()) {
      EXPECT_EQ(alcance, std::nullopt) << r.saida;
    } else {
      ASSERT_TRUE(alcance.has_value()) << r.saida;
      EXPECT_EQ(alcance->rfind(caso.alcance, 0), 0u) << *alcance;
      if (caso.alcance.rfind("ERRO", 0) == 0) {
        EXPECT_GT(alcance->size(), caso.alcance.size());
      }
    }

    // The verdict, on its line and, when it failed, with the reason on stderr.
    EXPECT_EQ(Valor(linhas, "Resultado..........: ").value_or("").rfind(caso.codigo == 0 ? "OK" : "ERRO: ", 0), 0u)
        << r.saida;
    if (caso.codigo == 0) {
      EXPECT_EQ(r.erros, "");
    } else {
      EXPECT_EQ(r.erros.rfind("Verificação falhou: ", 0), 0u) << r.erros;
    }

    if (sim) {
      // A handshake at most; not one request to any endpoint.
      EXPECT_TRUE(sim->Requisicoes().empty());
      EXPECT_EQ(sim->Conexoes(), caso.banco == Banco::Pronto ? 1 : 0);
    }
    EXPECT_EQ(r.saida.find('\r'), std::string::npos);
    SemCicloDeVida(inst.Linhas());
    if (bancos) {
      EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "1");
      EXPECT_EQ(inst.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = 501"), "1");
    }
  }
}

// The settings' likely mistakes, each on a line of its own after the
// settings' line; they do not change the result by themselves.
TEST(Verificacao, TellsTheSettingsLikelyMistakes) {
  struct Caso {
    const char* nome;
    std::string ini;  // "{dados}": the databases' folder
    bool utf16_sem_marca;
    int codigo;
    std::vector<std::string> avisos;  // the start of each warning line's value
    std::string resultado;
  };
  const std::string resto = "Lumiford=\r\nNome_Servidor=\r\nDebug=\r\n";
  const Caso casos[] = {
      {"right", "[Lumiford]\r\nEmpresa=7\r\nServidor={dados}\r\n" + resto, false, 0, {}, "OK"},
      {"typing error in Empresa", "[Lumiford]\r\nEmpressa=7\r\nServidor={dados}\r\n" + resto, false, 1,
       {"chave desconhecida em [Lumiford]: \"Empressa\" (seria Empresa?); não é lida",
        "Empresa não está em lumiford.ini: o serviço se chamaria lumiford_financeiro_000"},
       "ERRO: a empresa 0 não está cadastrada em CAD_EMPRESA"},
      {"typing error in Servidor", "[Lumiford]\r\nEmpresa=7\r\nServidr={dados}\r\n" + resto, false, 1,
       {"chave desconhecida em [Lumiford]: \"Servidr\" (seria Servidor?); não é lida", "Servidor está vazio"},
       "ERRO: não foi possível conectar aos bancos de dados"},
      {"comment after a value", "[Lumiford]\r\nEmpresa=7\r\nServidor={dados}\r\nDebug = Nao ; desligado\r\n",
       false, 0, {"o valor de Debug parece ter um comentário (\"Nao ; desligado\")"}, "OK, com 1 aviso"},
      {"comment after Empresa", "[Lumiford]\r\nEmpresa = 07 ; empresa principal\r\nServidor={dados}\r\n", false, 1,
       {"o valor de Empresa parece ter um comentário", "Empresa = \"07 ; empresa principal\" vale 0"},
       "ERRO: a empresa 0 não está cadastrada em CAD_EMPRESA"},
      {"UTF-16 without its mark", "[Lumiford]\r\nEmpresa=7\r\nServidor={dados}\r\n", true, 1,
       {"lumiford.ini está em UTF-16 sem a marca de ordem de bytes (BOM)"},
       "ERRO: não foi possível conectar aos bancos de dados"},
  };
  Simulador sim;
  AceitarTudo(sim);
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Instalacao inst(Exe);
    inst.Configurar("7");
    PrepararEmpresa(inst, "http", Local(sim));
    std::string ini = caso.ini;
    ini.replace(ini.find("{dados}"), 7, inst.Dados().string());
    if (caso.utf16_sem_marca) {
      std::string largo;
      for (char c : ini) largo += std::string{c, '\0'};
      ini = largo;
    }
    Gravar(inst.Dir() / "lumiford.ini", ini);

    const auto r = inst.Rodar({"/CHECK"});
    EXPECT_EQ(r.codigo, caso.codigo) << r.saida << r.erros;
    const auto linhas = LinhasDe(r.saida);
    std::vector<std::string> avisos;
    for (const auto& linha : linhas) {
      EXPECT_TRUE(std::any_of(std::begin(kRotulos), std::end(kRotulos),
                              [&linha](const char* rotulo) { return linha.rfind(rotulo, 0) == 0; }))
          << linha;
      if (linha.rfind("Aviso..............: ", 0) == 0) avisos.push_back(linha.substr(21));
    }
    ASSERT_EQ(avisos.size(), caso.avisos.size()) << r.saida;
    for (std::size_t i = 0; i < avisos.size(); ++i) EXPECT_EQ(avisos[i].rfind(caso.avisos[i], 0), 0u) << avisos[i];
    // Right after the settings' line.
    if (!avisos.empty()) {
      EXPECT_EQ(linhas.at(1).rfind("Aviso", 0), 0u) << r.saida;
    }
    EXPECT_EQ(Valor(linhas, "Resultado..........: "), caso.resultado) << r.saida;
  }
}

// What kept the data module from being created is on the connection line,
// not only on standard error.
TEST(Verificacao, ShowsWhyTheDataModuleWasNotCreated) {
  Instalacao inst(Exe);
  inst.Configurar("7", true, "Sim");  // the settings' banner is the first line logged
  fs::create_directory(inst.Log());
  const auto r = inst.Rodar({"/CHECK"});
  EXPECT_EQ(r.codigo, 1);
  const auto conexao = Valor(LinhasDe(r.saida), "Conexão............: ");
  ASSERT_TRUE(conexao.has_value()) << r.saida;
  EXPECT_EQ(conexao->rfind("ERRO: o módulo de dados não foi criado: ", 0), 0u) << *conexao;
  EXPECT_NE(conexao->find("Log.txt"), std::string::npos) << *conexao;
}

// ---------------------------------------------------------------- the token

// The token of the company record reaches no output whole, on no error path:
// Log.txt (debug on, so that every line naming an address is written),
// standard error (the event log's text, which goes to syslog as well), and
// the output of /ONCE, of /CHECK and of the running service.
TEST(Token, NoOutputShowsItOnAnyErrorPath) {
  // Longer than eight characters, and escaped in the address.
  const std::string token = "segredo&7f#3a9c%x";
  const std::string escapado = "segredo%267f%233a9c%25x";
  const std::string mostrado = "token_erp=segr****";
  enum class Servidor { Nenhum, Recusa, Tls, Status };
  struct Caso {
    const char* nome;
    Servidor servidor;
    std::string conexao;
    std::string endereco;  // empty: the simulator's, or the refused port
    bool erro_com_endereco;  // the error that leaves a flow names the address
  };
  const Caso casos[] = {
      {"address without a host", Servidor::Nenhum, "http", ":99999", true},
      {"port out of range", Servidor::Nenhum, "http", "127.0.0.1:99999", true},
      {"scheme without a port", Servidor::Nenhum, "ftp", "127.0.0.1/api", false},
      {"connection refused", Servidor::Recusa, "http", "", false},
      {"certificate refused", Servidor::Tls, "https", "", false},
      {"error status whose body repeats the address", Servidor::Status, "http", "", false},
  };
  const auto sem_token = [&](const std::string& saida, const std::string& onde) {
    for (const std::string& trecho : {token, escapado, std::string("7f#3a9c"), std::string("7f%233a9c")})
      EXPECT_EQ(saida.find(trecho), std::string::npos) << onde << ":\n" << saida;
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    std::optional<Simulador> sim;
    std::optional<PortaReservada> recusada;
    std::string endereco = caso.endereco;
    if (caso.servidor == Servidor::Recusa) {
      recusada.emplace();
      endereco = "127.0.0.1:" + std::to_string(recusada->Porta());
    } else if (caso.servidor != Servidor::Nenhum) {
      sim.emplace(caso.servidor == Servidor::Tls ? Simulador::Certificado::NaoConfiavel : Simulador::Certificado::Nenhum);
      sim->ResponderPadrao(Resposta::Status(404, "Not Found", "Rota desconhecida: " + kFaturado + "?token_erp=" + escapado));
      endereco = Local(*sim);
    }
    Instalacao inst(Exe);
    inst.Configurar("7", true, "Sim");
    PrepararEmpresaComTrabalho(inst, caso.conexao, endereco, "0.001", "2", token);
    inst.Sql("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (7, 1, 'BUSCAR_FATURAMENTO_API')");

    const auto uma = inst.Rodar({"/ONCE"});
    EXPECT_EQ(uma.codigo, 1) << uma.erros;
    sem_token(uma.saida + uma.erros, "/ONCE");
    if (caso.erro_com_endereco) {
      EXPECT_NE(uma.erros.find(mostrado), std::string::npos) << uma.erros;
    }

    const auto verificacao = inst.Rodar({"/CHECK"});
    sem_token(verificacao.saida + verificacao.erros, "/CHECK");
    EXPECT_NE(verificacao.saida.find(mostrado), std::string::npos) << verificacao.saida;

    auto servico = inst.Iniciar({});
    EXPECT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Recebendo os dados dos faturamentos.") >= 2; }))
        << servico->Erros();
    EXPECT_TRUE(Aguardar([&] { return Contar(inst.Linhas(), "Enviando os Boletos para a API.") >= 3; }));
    servico->Sinal(SIGTERM);
    EXPECT_EQ(servico->Esperar(), 0);
    sem_token(servico->Erros(), "service");
    if (caso.erro_com_endereco) {
      EXPECT_NE(servico->Erros().find(mostrado), std::string::npos) << servico->Erros();
    }

    const std::string log = Ler(inst.Log());
    sem_token(log, "Log.txt");
    EXPECT_NE(log.find(mostrado), std::string::npos);
  }
}

// ---------------------------------------------------------------- HELP

TEST(Verificacao, TellsWhichWayTheDatabaseIsReachedAndWhereTheFilesAreRead) {
  Simulador sim;
  AceitarTudo(sim);
  for (const Topologia topologia :
       {Topologia::Embutido, Topologia::ServidorCaminhoSimples, Topologia::ServidorHostPorta}) {
    SCOPED_TRACE(NomeTopologia(topologia));
    Instalacao inst(Exe, "servico", topologia);
    inst.Configurar("7");
    PrepararEmpresa(inst, "http", Local(sim));
    fs::remove_all(inst.Dados() / "NFSe");

    const auto r = inst.Rodar({"/CHECK"});
    EXPECT_EQ(r.codigo, 0) << r.saida << r.erros;
    const auto linhas = LinhasDe(r.saida);
    std::string acesso = "motor embutido, neste processo (nenhum servidor Firebird local respondeu)";
    if (topologia == Topologia::ServidorCaminhoSimples) acesso = "servidor Firebird local (TCPv4)";
    if (topologia == Topologia::ServidorHostPorta)
      acesso = "servidor Firebird em 127.0.0.1/" + std::to_string(inst.ServidorBanco()->Porta()) + " (TCPv4)";
    EXPECT_EQ(Valor(linhas, "Acesso ao banco....: "), acesso) << r.saida;
    // The files are read on this machine, from the folder without the server in front.
    EXPECT_EQ(Valor(linhas, "Boletos............: "), (inst.Dados() / "Boleto").string()) << r.saida;
    EXPECT_EQ(Valor(linhas, "Notas de serviço...: "), (inst.Dados() / "NFSe").string() + " (não encontrada)")
        << r.saida;
  }
}

TEST(Ajuda, PrintsTheSwitchesAndTouchesNothing) {
  Simulador sim;
  AceitarTudo(sim);
  Instalacao inst(Exe);
  inst.Configurar("7", true, "Sim");
  PrepararEmpresa(inst, "http", Local(sim));
  const std::string dados = Ler(inst.Bancos().dados);
  const std::string historico = Ler(inst.Bancos().historico);

  const std::vector<std::vector<std::string>> casos = {
      {"/HELP"}, {"-help"}, {"/Help"}, {"-h"}, {"/H"}, {"--help"},
      // Help wins over a switch that would run the flows.
      {"/ONCE", "-h"},
  };
  std::string primeira;
  for (const auto& argumentos : casos) {
    SCOPED_TRACE(argumentos.back());
    const auto r = inst.Rodar(argumentos);
    EXPECT_EQ(r.codigo, 0);
    EXPECT_EQ(r.erros, "");
    for (const char* chave : {"INSTALL", "UNINSTALL", "SILENT", "ONCE", "CHECK", "HELP"})
      EXPECT_NE(r.saida.find(std::string("\n  ") + chave + " "), std::string::npos) << chave << "\n" << r.saida;
    if (primeira.empty()) primeira = r.saida;
    EXPECT_EQ(r.saida, primeira);
  }
  // No settings read (debug would have logged them), no connection, no flow.
  EXPECT_FALSE(fs::exists(inst.Log()));
  EXPECT_FALSE(fs::exists(inst.Dir() / "Req"));
  EXPECT_EQ(sim.Conexoes(), 0);
  EXPECT_TRUE(Ler(inst.Bancos().dados) == dados);
  EXPECT_TRUE(Ler(inst.Bancos().historico) == historico);
}

// The signals the README names for the service mode are the ones HELP names,
// with the log line each one writes.
TEST(Ajuda, NamesEverySignalOfTheReadme) {
  const std::string leiame = Ler(fs::path(LUMIFORD_SCRIPTS_DIR) / ".." / "README.md");
  const std::size_t inicio = leiame.find("Signals in service mode");
  ASSERT_NE(inicio, std::string::npos);
  const std::string paragrafo = leiame.substr(inicio, leiame.find("\n\n", inicio) - inicio);
  // Each `NAME` of capitals and digits is a signal (`TERM`/`INT` are two).
  std::vector<std::string> sinais;
  for (std::size_t i = paragrafo.find('`'); i != std::string::npos; i = paragrafo.find('`', i + 1)) {
    const std::size_t fim = paragrafo.find('`', i + 1);
    if (fim == std::string::npos) break;
    const std::string nome = paragrafo.substr(i + 1, fim - i - 1);
    i = fim;
    if (!nome.empty() && nome.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") == std::string::npos)
      sinais.push_back(nome);
  }
  for (const char* esperado : {"TERM", "INT", "USR1", "USR2", "HUP"})
    EXPECT_NE(std::find(sinais.begin(), sinais.end(), esperado), sinais.end()) << esperado << "\n" << paragrafo;

  Instalacao inst(Exe);
  const auto r = inst.Rodar({"/HELP"});
  ASSERT_EQ(r.codigo, 0);
  const std::size_t secao = r.saida.find("Sinais no modo serviço");
  ASSERT_NE(secao, std::string::npos) << r.saida;
  const std::string ajuda = r.saida.substr(secao);
  for (const auto& sinal : sinais) {
    bool achado = false;
    for (std::size_t i = ajuda.find(sinal); i != std::string::npos && !achado; i = ajuda.find(sinal, i + 1)) {
      const auto letra = [&](std::size_t p) { return p < ajuda.size() && std::isalnum(static_cast<unsigned char>(ajuda[p])); };
      achado = (i == 0 || !letra(i - 1)) && !letra(i + sinal.size());
    }
    EXPECT_TRUE(achado) << sinal << "\n" << ajuda;
  }
  for (const char* linha : {"Service - Stop", "Service - Pause", "Service - Continue", "Service - Status: Running",
                            "Service - Status: Paused"})
    EXPECT_NE(ajuda.find(linha), std::string::npos) << linha << "\n" << ajuda;
}

}  // namespace
