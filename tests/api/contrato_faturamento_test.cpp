// Contract billing records: the already-imported check by invoice, the
// month's header found or created from the company's generator, items
// numbered on from the header's highest, and the removal of the request.
#include <gtest/gtest.h>

#include "global/parada.h"
#include "tests/api/faturamento_apoio.h"

namespace lumiford::teste {
namespace {

class ContratoFaturamento : public AmbienteFaturamento {
 public:
  // Persons 1, 2, 3... with the CNPJs of CnpjTeste.
  void CadastrarClientes(int quantos) const {
    for (int i = 1; i <= quantos; ++i)
      amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (" + std::to_string(i) + ", 'C" +
                    std::to_string(i) + "', '" + CnpjTesteFormatado(i) + "')");
  }
  void CriarCabecalho(int empresa, int numero, const std::string& mes, int ano, int itens, int primeira_fatura) const {
    amb->Executar("INSERT INTO MOV_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, VENDEDOR, MES_REFERENCIA, ANO_REFERENCIA) "
                  "VALUES (" + std::to_string(empresa) + ", " + std::to_string(numero) + ", 3, '" + mes + "', " +
                  std::to_string(ano) + ")");
    for (int seq = 1; seq <= itens; ++seq)
      amb->Executar("INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, COMISSAO, MENSALIDADE, "
                    "ID_FATURA) VALUES (" + std::to_string(empresa) + ", " + std::to_string(numero) + ", " +
                    std::to_string(seq) + ", 1, 0, 10, " + std::to_string(primeira_fatura + seq - 1) + ")");
  }
  // Items the run wrote, without those the test put there.
  Tabela ItensNovos(int primeira_fatura) const {
    return amb->Consultar(
        "SELECT EMPRESA, NUMERO, SEQ, CLIENTE, CAST(COMISSAO AS VARCHAR(20)) COMISSAO, "
        "CAST(MENSALIDADE AS VARCHAR(20)) MENSALIDADE, ID_FATURA FROM MOV_IT_CONTRATO_FATURAMENTO "
        "WHERE ID_FATURA >= " + std::to_string(primeira_fatura) + " ORDER BY EMPRESA, NUMERO, SEQ");
  }
};

// Its main paths, in every way the database is reached.
using ContratoFaturamentoPorTopologia = EmCadaTopologia<ContratoFaturamento>;

TEST_P(ContratoFaturamentoPorTopologia, PrimeiraImportacaoDoMesCriaOCabecalhoEItensEmOrdem) {
  Preparar();
  CadastrarClientes(3);
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
  Requisitar(7, 1);
  Requisitar(7, 2);  // every request of the company goes
  std::vector<Item> itens = {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2)),
                             ItemCliente(1003, CnpjTeste(3))};
  itens[1].aliquota = "0";
  itens[1].valorCobranca = "1999.9";
  itens[2].aliquota = J("12.345");
  itens[2].valorCobranca = "0.5";
  Responder(RespostaFaturamento(itens));

  Executar();

  const Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
  ASSERT_NE(inicio, novas.end());
  EXPECT_EQ(Linhas(inicio + 1, novas.end()),
            (Linhas{"Cliente: 1", "Cliente: 2", "Cliente: 3", "Buscando Faturamento.", "Faturamento: 0",
                    "Gravando Faturamento.", "Faturamento Gravado com Sucesso."}));
  EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "41", "12", "Fevereiro", "2025"}}));
  EXPECT_EQ(Gerador("MOV_CONTRATO_FATURAMENTO_007"), "41");
  EXPECT_EQ(Itens(), (Tabela{{"7", "41", "1", "1", "5.5000", "150.7500", "1001"},
                             {"7", "41", "2", "2", "0.0000", "1999.9000", "1002"},
                             {"7", "41", "3", "3", "12.3450", "0.5000", "1003"}}));
  EXPECT_EQ(Requisicoes(), Tabela{});
}

TEST_F(ContratoFaturamento, CabecalhoDoMesContinuaDoMaiorSeq) {
  struct Caso {
    const char* nome;
    std::function<void(ContratoFaturamento&)> preparar;
    std::string linha_faturamento;
    Tabela itens;  // those of invoices 1001 and 1002
  };
  const Caso casos[] = {
      {"com itens ate o 7", [](ContratoFaturamento& t) { t.CriarCabecalho(7, 30, "Fevereiro", 2025, 7, 900); },
       "Faturamento: 30",
       {{"7", "30", "8", "1", "5.5000", "150.7500", "1001"}, {"7", "30", "9", "2", "5.5000", "150.7500", "1002"}}},
      {"sem itens", [](ContratoFaturamento& t) { t.CriarCabecalho(7, 30, "Fevereiro", 2025, 0, 0); },
       "Faturamento: 30",
       {{"7", "30", "1", "1", "5.5000", "150.7500", "1001"}, {"7", "30", "2", "2", "5.5000", "150.7500", "1002"}}},
      {"de outro mes, de outro ano e de outra empresa",
       [](ContratoFaturamento& t) {
         t.CriarCabecalho(7, 30, "Janeiro", 2025, 5, 900);
         t.CriarCabecalho(7, 31, "Fevereiro", 2024, 3, 910);
         t.CriarCabecalho(8, 32, "Fevereiro", 2025, 9, 920);
       },
       "Faturamento: 0",
       {{"7", "41", "1", "1", "5.5000", "150.7500", "1001"}, {"7", "41", "2", "2", "5.5000", "150.7500", "1002"}}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    CadastrarClientes(2);
    DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
    caso.preparar(*this);
    Requisitar(7, 1);
    Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2))}));

    Executar();

    EXPECT_EQ(Novas(), Linhas{caso.linha_faturamento});
    EXPECT_EQ(ItensNovos(1000), caso.itens);
    EXPECT_EQ(Requisicoes(), Tabela{});
  }
}

TEST_F(ContratoFaturamento, FaturaJaImportadaNaoGastaSeq) {
  Preparar();
  CadastrarClientes(3);
  CriarCabecalho(7, 20, "Janeiro", 2025, 0, 0);
  // Invoice 1002 was imported in January; 1003 only by another company.
  amb->Executar("INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, ID_FATURA) "
                "VALUES (7, 20, 1, 2, 1002)");
  CriarCabecalho(8, 20, "Fevereiro", 2025, 0, 0);
  amb->Executar("INSERT INTO MOV_IT_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, SEQ, CLIENTE, ID_FATURA) "
                "VALUES (8, 20, 1, 2, 1003)");
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
  Requisitar(7, 1);
  Responder(RespostaFaturamento(
      {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2)), ItemCliente(1003, CnpjTeste(3))}));

  Executar();

  const Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
  ASSERT_NE(inicio, novas.end());
  EXPECT_EQ(Linhas(inicio + 1, novas.end()),
            (Linhas{"Cliente: 1", "Cliente: 2", "Cliente: 3", "Buscando Faturamento.", "Faturamento: 0",
                    "Gravando Faturamento.", "Faturamento Gravado com Sucesso."}));
  EXPECT_EQ(ItensNovos(1000), (Tabela{{"7", "20", "1", "2", "", "", "1002"},
                                      {"7", "41", "1", "1", "5.5000", "150.7500", "1001"},
                                      {"7", "41", "2", "3", "5.5000", "150.7500", "1003"},
                                      {"8", "20", "1", "2", "", "", "1003"}}));
}

TEST_F(ContratoFaturamento, TodasImportadasAntesNaoTocamNoCabecalho) {
  Preparar();
  CadastrarClientes(2);
  CriarCabecalho(7, 20, "Fevereiro", 2025, 2, 1001);
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
  Requisitar(7, 1);
  Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2))}));
  const Tabela antes = Itens();

  Executar();

  const Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
  ASSERT_NE(inicio, novas.end());
  EXPECT_EQ(Linhas(inicio + 1, novas.end()),
            (Linhas{"Cliente: 1", "Cliente: 2", "Faturamento Gravado com Sucesso."}));
  EXPECT_EQ(Itens(), antes);
  EXPECT_EQ(Cabecalhos().size(), 1u);
  EXPECT_EQ(Gerador("MOV_CONTRATO_FATURAMENTO_007"), "40");
  EXPECT_EQ(Requisicoes(), Tabela{});
}

TEST_F(ContratoFaturamento, LinhaSemItemDeixaOSeqParaAProxima) {
  struct Caso {
    const char* nome;
    std::function<void(Item&)> alterar;
    std::string linha;  // written for the middle row
  };
  const Caso casos[] = {
      {"sem cliente", [](Item& i) { i.codigoIbge = J(""); }, "Erro ao buscar o Cliente. Fatura Nr: 1002"},
      {"aliquota ilegivel", [](Item& i) { i.aliquota = J("abc"); }, "Erro: 'abc' is not a valid floating point value"},
      {"valor com milhar", [](Item& i) { i.valorCobranca = J("1,234.56"); },
       "Erro: '1.234,56' is not a valid floating point value"},
      {"valor vazio", [](Item& i) { i.valorCobranca = "null"; }, "Erro: '' is not a valid floating point value"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    CadastrarClientes(3);
    amb->Executar("DELETE FROM CAD_PESSOA WHERE CADASTRO = 2");  // the middle row's client is new
    DefinirGerador("CAD_PESSOA", 60);
    DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
    Requisitar(7, 1);
    std::vector<Item> itens = {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2)),
                               ItemCliente(1003, CnpjTeste(3))};
    caso.alterar(itens[1]);
    Responder(RespostaFaturamento(itens));

    Executar();

    const Linhas novas = Novas();
    ASSERT_FALSE(novas.empty());
    EXPECT_EQ(Linhas(novas.end() - 2, novas.end()), (Linhas{"Faturamento: 0", caso.linha}))
        << testing::PrintToString(novas);
    EXPECT_EQ(Itens(), (Tabela{{"7", "41", "1", "1", "5.5000", "150.7500", "1001"},
                               {"7", "41", "2", "3", "5.5000", "150.7500", "1003"}}));
    EXPECT_EQ(Requisicoes(), Tabela{});
  }
}

// The amounts come with a decimal point; the separators are swapped and the
// text read with the decimal comma, exponent allowed. A comma of the reply
// becomes a point there, which the reading refuses: no amount a thousand
// times too small, and the row's own error line.
TEST_F(ContratoFaturamento, ValoresLidosComVirgulaDecimalDepoisDaTroca) {
  struct Caso {
    std::string aliquota;  // raw JSON
    std::string comissao;  // stored; "" when the item is refused
    std::string erro;      // the line of a refused item
  };
  const Caso casos[] = {
      {"5.5", "5.5000", ""},
      {"1.5e2", "150.0000", ""},
      {"2E-4", "0.0002", ""},
      {"-2.25", "-2.2500", ""},
      {J(" 7.25 "), "7.2500", ""},
      {J("0.00015"), "0.0002", ""},  // the half goes to the even neighbour
      {J("1,500"), "", "Erro: '1.500' is not a valid floating point value"},
      {J("1,234.56"), "", "Erro: '1.234,56' is not a valid floating point value"},
      {J("1.5e"), "", "Erro: '1,5e' is not a valid floating point value"},
      {J("1e400"), "", "Erro: '1e400' is not a valid floating point value"},
  };
  Preparar(7, "Nao");
  const int n = static_cast<int>(std::size(casos));
  CadastrarClientes(n);
  Requisitar(7, 1);
  std::vector<Item> itens;
  for (int i = 0; i < n; ++i) {
    itens.push_back(ItemCliente(2001 + i, CnpjTeste(i + 1)));
    itens.back().aliquota = casos[i].aliquota;
  }
  Responder(RespostaFaturamento(itens));

  Executar();

  Linhas erros;
  Tabela esperados;
  for (int i = 0; i < n; ++i) {
    if (!casos[i].erro.empty()) {
      erros.push_back(casos[i].erro);
      continue;
    }
    esperados.push_back({"7", "1", std::to_string(esperados.size() + 1), std::to_string(i + 1), casos[i].comissao,
                         "150.7500", std::to_string(2001 + i)});
  }
  EXPECT_EQ(Itens(), esperados);
  const Linhas novas = Novas();
  EXPECT_EQ(Linhas(novas.begin() + 1, novas.end()), erros);
}

TEST_F(ContratoFaturamento, FaturaRepetidaNaRespostaGeraUmItem) {
  Preparar(7, "Nao");
  CadastrarClientes(2);
  Requisitar(7, 1);
  Item repetida = ItemCliente(1001, CnpjTeste(2));
  repetida.valorCobranca = "99";
  Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1)), repetida, ItemCliente(1002, CnpjTeste(2))}));

  Executar();

  EXPECT_EQ(Novas(), Linhas{"Faturamento: 0"});
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "1", "5.5000", "150.7500", "1001"},
                             {"7", "1", "2", "2", "5.5000", "150.7500", "1002"}}));
}

TEST_F(ContratoFaturamento, ExecucaoDaEmpresaUmDeixaARequisicaoDaEmpresaDois) {
  Preparar(1);
  CadastrarEmpresa(2, 5);
  CadastrarClientes(1);
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_001", 9);
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_002", 70);
  Requisitar(1, 1);
  Requisitar(1, 2);
  Requisitar(2, 1);
  Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1))}));

  Executar();

  EXPECT_EQ(Requisicoes(), (Tabela{{"2", "1"}}));
  EXPECT_EQ(Cabecalhos(), (Tabela{{"1", "10", "12", "Fevereiro", "2025"}}));
  EXPECT_EQ(Itens(), (Tabela{{"1", "10", "1", "1", "5.5000", "150.7500", "1001"}}));
  EXPECT_EQ(Gerador("MOV_CONTRATO_FATURAMENTO_002"), "70");
}

TEST_P(ContratoFaturamentoPorTopologia, SegundaExecucaoIgualNaoGravaNadaDeNovo) {
  Preparar();
  CadastrarClientes(1);
  DefinirGerador("CAD_PESSOA", 100);
  Requisitar(7, 1);
  Responder(RespostaFaturamento(
      {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2)), ItemCliente(1003, CnpjTeste(3))}));
  Executar();
  const Tabela itens = Itens(), pessoas = Pessoas(), cabecalhos = Cabecalhos();
  ASSERT_EQ(itens.size(), 3u);
  ASSERT_EQ(pessoas.size(), 3u);

  Requisitar(7, 2);
  Executar();

  const Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
  ASSERT_NE(inicio, novas.end());
  EXPECT_EQ(Linhas(inicio + 1, novas.end()),
            (Linhas{"Cliente: 1", "Cliente: 101", "Cliente: 102", "Faturamento Gravado com Sucesso."}));
  EXPECT_EQ(Itens(), itens);
  EXPECT_EQ(Pessoas(), pessoas);
  EXPECT_EQ(Cabecalhos(), cabecalhos);
  EXPECT_EQ(Requisicoes(), Tabela{});
}

TEST_F(ContratoFaturamento, CabecalhoNaoGravadoNaoRecebeItensEARequisicaoFica) {
  Preparar(7, "Nao");
  CadastrarClientes(3);
  DefinirGerador("MOV_CONTRATO_FATURAMENTO_007", 40);
  // The number the generator gives next is already taken, by January's header.
  CriarCabecalho(7, 41, "Janeiro", 2025, 0, 0);
  Requisitar(7, 1);
  Responder(RespostaFaturamento(
      {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2)), ItemCliente(1003, CnpjTeste(3))}));

  Executar();

  const Linhas novas = Novas();
  ASSERT_EQ(novas.size(), 4u) << testing::PrintToString(novas);
  EXPECT_EQ(novas[0], "Faturamento: 0");
  EXPECT_TRUE(novas[1].starts_with("Erro: ") && novas[1].size() > 6) << novas[1];
  EXPECT_EQ(novas[2], novas[1]);
  EXPECT_EQ(novas[3], novas[1]);
  EXPECT_EQ(Itens(), Tabela{});
  EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "41", "3", "Janeiro", "2025"}}));
  EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));

  // The next run draws another number and imports everything.
  Executar();
  EXPECT_EQ(Novas(), Linhas{"Faturamento: 0"});
  EXPECT_EQ(Cabecalhos(), (Tabela{{"7", "41", "3", "Janeiro", "2025"}, {"7", "42", "12", "Fevereiro", "2025"}}));
  EXPECT_EQ(Itens(), (Tabela{{"7", "42", "1", "1", "5.5000", "150.7500", "1001"},
                             {"7", "42", "2", "2", "5.5000", "150.7500", "1002"},
                             {"7", "42", "3", "3", "5.5000", "150.7500", "1003"}}));
  EXPECT_EQ(Requisicoes(), Tabela{});
}

// The invoice number is read as the decimal value of "0" followed by it, in
// the 32 bits of the column: the zeros in front are no fault, a sign is.
TEST_F(ContratoFaturamento, FaturaSemNumeroInteiroTerminaAExecucaoEMantemARequisicao) {
  struct Caso {
    std::string id_fatura;  // raw JSON
    std::string erro;       // "" when the run imports it
    std::string gravado;    // ID_FATURA of its item
  };
  const Caso casos[] = {
      {J("10-2"), "'010-2' is not a valid integer value", ""},
      {"-1002", "'0-1002' is not a valid integer value", ""},
      {"2147483648", "'02147483648' is not a valid integer value", ""},
      {J(" 1002"), "'0 1002' is not a valid integer value", ""},
      {J("0000000001002"), "", "1002"},
      {"2147483647", "", "2147483647"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.id_fatura);
    Preparar(7, "Sim");
    CadastrarClientes(1);
    DefinirGerador("CAD_PESSOA", 100);
    Requisitar(7, 1);
    Item lido = ItemCliente(1002, CnpjTeste(2));
    lido.id_fatura = caso.id_fatura;
    Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1)), lido, ItemCliente(1003, CnpjTeste(3))}));

    EXPECT_EQ(ExecutarComErro(), caso.erro);

    const Linhas novas = Novas();
    const auto busca = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
    ASSERT_NE(busca, novas.end()) << ::testing::PrintToString(novas);
    if (!caso.erro.empty()) {
      // Found before the first row is handled: nothing at all is written, no client either.
      EXPECT_EQ(busca + 1, novas.end()) << ::testing::PrintToString(novas);
      EXPECT_EQ(Pessoas(), (Tabela{{"1", CnpjTesteFormatado(1), "C1"}}));
      EXPECT_EQ(Gerador("CAD_PESSOA"), "100");
      EXPECT_EQ(Itens(), Tabela{});
      EXPECT_EQ(Cabecalhos(), Tabela{});
      EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));
    } else {
      EXPECT_EQ(*(busca + 1), "Cliente: 1");
      const Tabela itens = Itens();
      ASSERT_EQ(itens.size(), 3u);
      EXPECT_EQ(itens[1][6], caso.gravado);
      EXPECT_EQ(Requisicoes(), Tabela{});
    }
  }
}

// A stop asked for while the reply is awaited ends the run before its first
// row: no client, no item, and the request stays for the next start.
TEST_F(ContratoFaturamento, ParadaPedidaDeixaARequisicaoParaAProximaExecucao) {
  Preparar(7, "Nao");
  CadastrarClientes(1);
  DefinirGerador("CAD_PESSOA", 100);
  Requisitar(7, 1);
  Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2))}));
  sim->AoReceber([](const RequisicaoGravada&) { PedirParada(); });

  EXPECT_THROW(Executar(), ParadaSolicitada);
  EXPECT_EQ(Pessoas().size(), 1u);
  EXPECT_EQ(Itens(), Tabela{});
  EXPECT_EQ(Requisicoes(), (Tabela{{"7", "1"}}));

  EsquecerParada();
  sim->AoReceber({});
  Executar();
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "1", "5.5000", "150.7500", "1001"},
                             {"7", "1", "2", "101", "5.5000", "150.7500", "1002"}}));
  EXPECT_EQ(Requisicoes(), Tabela{});
}

TEST_F(ContratoFaturamento, EmpresaSemGeradorTerminaComErroEMantemARequisicao) {
  Preparar(5, "Nao");
  CadastrarClientes(1);
  Requisitar(5, 1);
  Responder(RespostaFaturamento({ItemCliente(1001, CnpjTeste(1))}));

  const std::string erro = ExecutarComErro();

  EXPECT_NE(erro.find("MOV_CONTRATO_FATURAMENTO_005"), std::string::npos) << erro;
  EXPECT_EQ(Novas(), Linhas{"Faturamento: 0"});
  EXPECT_EQ(Cabecalhos(), Tabela{});
  EXPECT_EQ(Requisicoes(), (Tabela{{"5", "1"}}));
}

INSTANTIATE_TEST_SUITE_P(Topologia, ContratoFaturamentoPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
