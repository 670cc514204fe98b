// The billing import end to end, on a real database and the supplier
// simulator: the pending request, the period, the reply read as one JSON
// object, the debug dump, and a run killed half-way.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "tests/api/faturamento_apoio.h"
#include "tests/servico/apoio_processo.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;
using std::chrono::year;

class ImportacaoFaturamento : public AmbienteFaturamento {};

// Its main paths, in every way the database is reached.
using ImportacaoFaturamentoPorTopologia = EmCadaTopologia<ImportacaoFaturamento>;

// Pretty-printed: a line break after every bracket and comma, a blank after
// every colon.
std::string Indentar(const std::string& json) {
  std::string r;
  int nivel = 0;
  bool em_texto = false, escape = false;
  const auto quebra = [&] {
    r += "\n";
    r.append(static_cast<std::size_t>(2 * nivel), ' ');
  };
  for (char c : json) {
    if (em_texto) {
      r += c;
      if (escape)
        escape = false;
      else if (c == '\\')
        escape = true;
      else if (c == '"')
        em_texto = false;
      continue;
    }
    switch (c) {
      case '"': em_texto = true; r += c; break;
      case '{': case '[': r += c; ++nivel; quebra(); break;
      case '}': case ']': --nivel; quebra(); r += c; break;
      case ',': r += c; quebra(); break;
      case ':': r += ": "; break;
      default: r += c;
    }
  }
  return r;
}

TEST_F(ImportacaoFaturamento, PedeOMesAnteriorAoDiaDaExecucao) {
  struct Caso {
    std::chrono::year_month_day dia;
    std::string consulta;
    std::string mes, ano;  // of the header created
  };
  const Caso casos[] = {
      {year{2025} / 1 / 10, "ano=2024&mes=12", "Dezembro", "2024"},
      {year{2025} / 3 / 31, "ano=2025&mes=2", "Fevereiro", "2025"},
      {year{2024} / 11 / 1, "ano=2024&mes=10", "Outubro", "2024"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.consulta);
    Preparar();
    Requisitar(7, 1);
    Responder(RespostaFaturamento({Item{}}));
    Executar(caso.dia);
    const auto reqs = sim->Requisicoes();
    ASSERT_FALSE(reqs.empty());
    EXPECT_EQ(reqs.back().cabeca.substr(0, reqs.back().cabeca.find("\r\n")),
              "GET /financeiro/cliente/faturamento?" + caso.consulta + "&token_erp=tok-7abc9d2e HTTP/1.1");
    // The year and month inside the billing record do not choose the month.
    EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "1", "12", caso.mes, caso.ano}}));
    EXPECT_EQ(Requisicoes(), Tabela{});
  }
}

TEST_F(ImportacaoFaturamento, SemRequisicaoPendenteNaoHaChamadaNemLinha) {
  struct Caso {
    const char* nome;
    std::vector<std::pair<int, int>> requisicoes;  // empresa, numero
  };
  const Caso casos[] = {
      {"nenhuma", {}},
      {"numero zero", {{7, 0}}},
      {"de outra empresa", {{8, 5}}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar();
    for (const auto& [empresa, numero] : caso.requisicoes) Requisitar(empresa, numero);
    const Tabela antes = Requisicoes();
    Responder(RespostaFaturamento({Item{}}));
    const auto chamadas = sim->Requisicoes().size();
    Executar();
    EXPECT_EQ(sim->Requisicoes().size(), chamadas);
    EXPECT_EQ(Novas(), Linhas{});
    EXPECT_EQ(Requisicoes(), antes);
    EXPECT_EQ(Itens(), Tabela{});
  }
}

TEST_P(ImportacaoFaturamentoPorTopologia, RespostaCompactaImportaComTodasAsLinhasDeDepuracao) {
  Preparar();
  amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (15, 'Padaria', '98.765.432/0001-10')");
  DefinirGerador("CAD_PESSOA", 120);
  Requisitar(7, 3);
  Item existente;
  existente.observacao = "null";
  Item novo = ItemCliente(1002, "12345678901");
  novo.contatos = {R"({"tipo":"fone","contato":"(11) 5555-0000"})", R"({"tipo":"email","contato":"a@b.com"})"};
  const std::string resposta = RespostaFaturamento({existente, novo});
  Responder(resposta);

  Executar();

  Linhas esperado = {"Recebendo os dados dos faturamentos.",
                     "",
                     LinhaGet(),
                     "Retorno JSON..: " + resposta,
                     "",
                     "Erro: -1",
                     "JSON..: " + DadosDe(resposta)};
  for (const auto& linha :
       Despejo({"1001", "2025", "2", "5.5", "150.75", "", "Padaria Pão Quente Ltda", "98.765.432/0001-10",
                "123456789110", "Rua das Flores", "100", "Centro", "Sala 2", "01310-100", "3550308"},
               {"email", "financeiro@padaria.com.br"}))
    esperado.push_back(linha);
  for (const auto& linha :
       Despejo({"1002", "2025", "2", "5.5", "150.75", "Mensalidade de fevereiro", "Cliente 1002", "123.456.789-01",
                "123456789110", "Rua das Flores", "100", "Centro", "Sala 2", "01310-100", "3550308"},
               {"fone", "(11) 5555-0000", "email", "a@b.com"}))
    esperado.push_back(linha);
  for (const char* linha : {"Buscando Fatura nos lançamentos de Faturamento.", "Cliente: 15", "Cliente: 0",
                            "Cliente Cadastrado: 121", "Buscando Faturamento.", "Faturamento: 0",
                            "Gravando Faturamento.", "Faturamento Gravado com Sucesso."})
    esperado.push_back(linha);
  EXPECT_EQ(Novas(), esperado);
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "15", "5.5000", "150.7500", "1001"},
                             {"7", "1", "2", "121", "5.5000", "150.7500", "1002"}}));
  EXPECT_EQ(Requisicoes(), Tabela{});
}

TEST_F(ImportacaoFaturamento, SemDepuracaoSoAsLinhasDeResultado) {
  Preparar(7, "Nao");
  Requisitar(7, 1);
  Responder(RespostaFaturamento({Item{}}));
  Executar();
  EXPECT_EQ(Novas(), Linhas{"Faturamento: 0"});
  EXPECT_EQ(Itens().size(), 1u);
}

TEST_F(ImportacaoFaturamento, RespostaIndentadaEComQuebraNoFimImportaOMesmo) {
  amb.reset();
  const std::vector<Item> itens = {ItemCliente(2001, CnpjTeste(1)), ItemCliente(2002, CnpjTeste(2))};
  const std::string compacta = RespostaFaturamento(itens, false);
  struct Resultado {
    Tabela itens, pessoas, cabecalhos, requisicoes;
    std::string log;
  };
  std::vector<Resultado> resultados;
  for (const std::string& resposta : {compacta, Indentar(compacta) + "\n", compacta + "\r\n  \t"}) {
    SCOPED_TRACE(resposta);
    Preparar();
    Requisitar(7, 1);
    Responder(resposta);
    Executar();
    const std::string log = amb->Log();
    EXPECT_NE(log.find(": Erro: 0\r\n"), std::string::npos);
    // The array as it came, its line breaks made the log's.
    std::string dados = resposta.substr(resposta.find("\"data\""));
    dados = dados.substr(dados.find('['), dados.rfind(']') - dados.find('[') + 1);
    std::string dados_log;
    for (char c : dados) dados_log += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_NE(log.find(": JSON..: " + dados_log + "\r\n"), std::string::npos);
    // From the dump on, every line is the same.
    resultados.push_back({Itens(), Pessoas(), Cabecalhos(), Requisicoes(), log.substr(log.find(": Id:  "))});
  }
  ASSERT_EQ(resultados.size(), 3u);
  EXPECT_EQ(resultados[0].itens.size(), 2u);
  EXPECT_EQ(resultados[0].requisicoes, Tabela{});
  for (std::size_t i = 1; i < resultados.size(); ++i) {
    EXPECT_EQ(resultados[i].itens, resultados[0].itens);
    EXPECT_EQ(resultados[i].pessoas, resultados[0].pessoas);
    EXPECT_EQ(resultados[i].cabecalhos, resultados[0].cabecalhos);
    EXPECT_EQ(resultados[i].requisicoes, resultados[0].requisicoes);
    EXPECT_EQ(resultados[i].log, resultados[0].log);
  }
}

TEST_F(ImportacaoFaturamento, ListaVaziaRemoveARequisicaoSemTocarNoFaturamento) {
  Preparar();
  Requisitar(7, 1);
  Requisitar(7, 2);
  Responder(R"({"error":false,"data":[]})");
  Executar();
  EXPECT_EQ(Novas(), (Linhas{"Recebendo os dados dos faturamentos.", "", LinhaGet(),
                             R"(Retorno JSON..: {"error":false,"data":[]})", "", "Erro: 0", "JSON..: []",
                             "Buscando Fatura nos lançamentos de Faturamento.", "Faturamento Gravado com Sucesso."}));
  EXPECT_EQ(Requisicoes(), Tabela{});
  EXPECT_EQ(Cabecalhos(), Tabela{});
  EXPECT_EQ(Gerador("MOV_CONTRATO_FATURAMENTO_007"), "0");
}

TEST_F(ImportacaoFaturamento, RespostaIlegivelTerminaComErroEMantemARequisicao) {
  struct Caso {
    const char* nome;
    Resposta resposta;
    std::string erro;
    Linhas depois_do_retorno;  // debug lines after "Retorno JSON..: " and its blank line
    Linhas erro_no_log;        // always written
  };
  const std::string item = Item{}.Json();
  const Caso casos[] = {
      {"pagina de erro com status 200", Resposta::Json("<html>Manutenção</html>"), "", {}, {}},
      {"dois objetos", Resposta::Json(R"({"error":false,"data":[]} {"x":1})"), "", {}, {}},
      {"vazia", Resposta::Json(""), "'' is not a valid boolean value", {}, {}},
      {"lista na raiz", Resposta::Json("[" + item + "]"), "", {}, {}},
      {"sem data", Resposta::Json(R"({"error":false,"dados":[]})"), "Value 'data' not found", {"Erro: 0"}, {}},
      {"data nao e lista", Resposta::Json(R"({"error":false,"data":{"id_fatura":1}})"), "Invalid class typecast",
       {"Erro: 0"}, {}},
      {"bandeira que nao e logica", Resposta::Json(R"({"error":"talvez","data":[]})"),
       "'talvez' is not a valid boolean value", {}, {}},
      {"bandeira nula", Resposta::Json(R"({"error":null,"data":[]})"),
       "Conversion from TJSONNull to Boolean is not supported", {}, {}},
      {"status 500", Resposta::Status(500, "Internal Server Error", "falha interna"),
       "'' is not a valid boolean value", {}, {"Erro.: falha interna"}},
      // Not caught by the import: the run ends before any reply line.
      {"conexao derrubada", Resposta::ComFalha(Resposta::Falha::Reset), "", {}, {}},
  };
  for (const bool debug : {true, false}) {
    for (const auto& caso : casos) {
      SCOPED_TRACE(std::string(caso.nome) + (debug ? " debug" : ""));
      Preparar(7, debug ? "Sim" : "Nao");
      Requisitar(7, 4);
      DefinirGerador("CAD_PESSOA", 50);
      sim->Responder(kCaminhoFaturamento, caso.resposta);
      const std::string erro = ExecutarComErro();
      if (caso.erro.empty())
        EXPECT_FALSE(erro.empty());
      else
        EXPECT_EQ(erro, caso.erro);
      if (debug) {
        Linhas esperado = {"Recebendo os dados dos faturamentos.", "", LinhaGet()};
        esperado.insert(esperado.end(), caso.erro_no_log.begin(), caso.erro_no_log.end());
        if (caso.resposta.falha == Resposta::Falha::Nenhuma) {
          esperado.push_back("Retorno JSON..: " + (caso.resposta.status == 200 ? caso.resposta.corpo : ""));
          esperado.push_back("");
        }
        esperado.insert(esperado.end(), caso.depois_do_retorno.begin(), caso.depois_do_retorno.end());
        EXPECT_EQ(Novas(), esperado);
      } else {
        EXPECT_EQ(Novas(), caso.erro_no_log);
      }
      EXPECT_EQ(Requisicoes(), (Tabela{{"7", "4"}}));
      EXPECT_EQ(Pessoas(), Tabela{});
      EXPECT_EQ(Itens(), Tabela{});
      EXPECT_EQ(Cabecalhos(), Tabela{});
      EXPECT_EQ(Gerador("CAD_PESSOA"), "50");
    }
  }
}

TEST_F(ImportacaoFaturamento, ItemSemMembroDespejaOQueLeuENaoGravaNada) {
  Preparar();
  Requisitar(7, 1);
  std::vector<Item> itens;
  for (int i = 1; i <= 5; ++i) itens.push_back(ItemCliente(3000 + i, CnpjTeste(i)));
  itens[2].omitir = {"complemento"};
  Responder(RespostaFaturamento(itens));

  EXPECT_EQ(ExecutarComErro(), "Value 'complemento' not found");

  Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "JSON..: " + DadosDe(RespostaFaturamento(itens)));
  ASSERT_NE(inicio, novas.end());
  Linhas esperado;
  for (int i = 1; i <= 2; ++i)
    for (const auto& l : Despejo({std::to_string(3000 + i), "2025", "2", "5.5", "150.75", "Mensalidade de fevereiro",
                                  "Cliente " + std::to_string(3000 + i), CnpjTesteFormatado(i), "123456789110",
                                  "Rua das Flores", "100", "Centro", "Sala 2", "01310-100", "3550308"},
                                 {"email", "financeiro@padaria.com.br"}))
      esperado.push_back(l);
  for (const auto& l : Despejo({"3003", "2025", "2", "5.5", "150.75", "Mensalidade de fevereiro", "Cliente 3003",
                                CnpjTesteFormatado(3), "123456789110", "Rua das Flores", "100", "Centro"},
                               {}, false))
    esperado.push_back(l);
  EXPECT_EQ(Linhas(inicio + 1, novas.end()), esperado);
  EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));
  EXPECT_EQ(Pessoas(), Tabela{});
  EXPECT_EQ(Itens(), Tabela{});
  EXPECT_EQ(Cabecalhos(), Tabela{});
}

TEST_F(ImportacaoFaturamento, ContatosAteDezNoDespejo) {
  struct Caso {
    const char* nome;
    std::vector<std::string> contatos;
    Linhas linhas;
  };
  std::vector<std::string> onze;
  Linhas dez;
  for (int i = 1; i <= 11; ++i) {
    onze.push_back(R"({"tipo":"email","contato":"c)" + std::to_string(i) + R"(@x.com"})");
    if (i <= 10) {
      dez.push_back("email");
      dez.push_back("c" + std::to_string(i) + "@x.com");
    }
  }
  // An element that could not be read takes no slot.
  std::vector<std::string> ilegivel_e_dez = {R"("texto")"};
  ilegivel_e_dez.insert(ilegivel_e_dez.end(), onze.begin(), onze.begin() + 10);
  const Caso casos[] = {
      {"onze", onze, dez},
      {"um ilegivel e dez", ilegivel_e_dez, dez},
      {"ilegiveis pulados",
       {R"({"tipo":"fone","contato":"1"})", R"("texto")", R"({"contato":"sem tipo"})",
        R"({"tipo":"site","contato":{"url":"x"}})", R"({"tipo":"fax","contato":"2"})"},
       {"fone", "1", "site", "fax", "2"}},
      {"em branco nao aparecem", {R"({"tipo":" ","contato":"\t"})", R"({"tipo":" fone ","contato":null})"},
       {" fone "}},
      {"nenhum", {}, {}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar();
    Requisitar(7, 1);
    Item item;
    item.contatos = caso.contatos;
    Responder(RespostaFaturamento({item}));
    Executar();
    Linhas novas = Novas();
    const auto contatos = std::find(novas.begin(), novas.end(), "Contatos:");
    const auto fim = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
    ASSERT_NE(contatos, novas.end());
    ASSERT_NE(fim, novas.end());
    EXPECT_EQ(Linhas(contatos + 1, fim), caso.linhas);
    EXPECT_EQ(Itens().size(), 1u);
  }
}

// ---------------------------------------------------------------------------
// A run killed half-way, then run again.

TEST_F(ImportacaoFaturamento, ProcessoMortoNoMeioEExecutadoDeNovoImportaCadaFaturaUmaVez) {
  constexpr int kFaturas = 24;
  struct Caso {
    const char* nome;
    std::string gatilho;  // log line after which the process is killed
    std::chrono::milliseconds espera;
    bool entre_itens;
  };
  const Caso casos[] = {
      {"entre os cadastros de clientes", "Cliente Cadastrado: 104", 0ms, false},
      {"entre os itens", "Faturamento: 0", 1000ms, true},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar();
    DefinirGerador("CAD_PESSOA", 100);
    Requisitar(7, 1);
    // Every new client takes a while, so that the kill lands among them; the
    // fifth item stalls, so that a kill after the wait finds exactly four.
    amb->Executar(
        "CREATE TRIGGER LENTO_PESSOA FOR CAD_PESSOA BEFORE INSERT AS DECLARE VARIABLE I INTEGER = 0; "
        "BEGIN WHILE (I < 150000) DO I = I + 1; END");
    amb->Executar(
        "CREATE TRIGGER LENTO_ITEM FOR MOV_IT_CONTRATO_FATURAMENTO BEFORE INSERT AS DECLARE VARIABLE I INTEGER = 0; "
        "BEGIN IF (NEW.SEQ = 5) THEN WHILE (I < 2000000000) DO I = I + 1; END");
    std::vector<Item> itens;
    for (int i = 1; i <= kFaturas; ++i) itens.push_back(ItemCliente(5000 + i, CnpjTeste(i)));
    Responder(RespostaFaturamento(itens));

    {
      Processo processo(LUMIFORD_IMPORTACAO_PROCESSO, {amb->DiretorioExe(), "2025-03-10"}, {}, amb->DiretorioExe());
      const auto limite = std::chrono::steady_clock::now() + 60s;
      bool visto = false;
      while (!visto && std::chrono::steady_clock::now() < limite && processo.Vivo()) {
        visto = amb->Log().find(": " + caso.gatilho + "\r\n") != std::string::npos;
        if (!visto) std::this_thread::sleep_for(2ms);
      }
      ASSERT_TRUE(visto) << processo.Saida() << processo.Erros() << amb->Log();
      std::this_thread::sleep_for(caso.espera);
      processo.Sinal(SIGKILL);
      ASSERT_EQ(processo.Esperar().value_or(-1), 128 + SIGKILL) << "the import ended before it was killed";
    }

    // Killed half-way: part of the work is there, the request too.
    const std::size_t pessoas = Pessoas().size();
    const std::size_t itens_gravados = Itens().size();
    EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));
    if (caso.entre_itens) {
      EXPECT_EQ(pessoas, static_cast<std::size_t>(kFaturas));
      EXPECT_EQ(itens_gravados, 4u);
    } else {
      EXPECT_GE(pessoas, 4u);
      EXPECT_LT(pessoas, static_cast<std::size_t>(kFaturas));
      EXPECT_EQ(itens_gravados, 0u);
    }

    amb->Executar("DROP TRIGGER LENTO_ITEM");
    Executar();

    // Every invoice once, in row order, each with its own client; a code
    // drawn by the killed process and never used is a gap, not a collision.
    const Tabela pessoas_final = amb->Consultar(
        "SELECT P.CNPJ_CPF, P.CADASTRO, COUNT(*) FROM CAD_PESSOA P GROUP BY P.CNPJ_CPF, P.CADASTRO ORDER BY 1");
    ASSERT_EQ(pessoas_final.size(), static_cast<std::size_t>(kFaturas));
    std::map<std::string, std::string> codigo_do_cnpj;
    for (const auto& p : pessoas_final) codigo_do_cnpj[p[0]] = p[1];
    Tabela esperado_itens;
    for (int i = 1; i <= kFaturas; ++i) {
      ASSERT_TRUE(codigo_do_cnpj.contains(CnpjTesteFormatado(i))) << i;
      esperado_itens.push_back({"7", "1", std::to_string(i), codigo_do_cnpj[CnpjTesteFormatado(i)], "5.5000",
                                "150.7500", std::to_string(5000 + i)});
    }
    EXPECT_EQ(Itens(), esperado_itens);
    EXPECT_LE(std::stoi(Gerador("CAD_PESSOA")), 100 + kFaturas + 1);
    EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "1", "12", "Fevereiro", "2025"}}));
    EXPECT_EQ(Requisicoes(), Tabela{});
    dm.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(Topologia, ImportacaoFaturamentoPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
