// Client registration during the billing import: the lookup by punctuated
// CNPJ/CPF, the new person with the ERP's defaults, and codes drawn from the
// generator so that a failure leaves a gap, never a collision.
#include <gtest/gtest.h>

#include <functional>

#include "tests/api/faturamento_apoio.h"

namespace lumiford::teste {
namespace {

class CadastroCliente : public AmbienteFaturamento {};

// Its main paths, in every way the database is reached.
using CadastroClientePorTopologia = EmCadaTopologia<CadastroCliente>;

TEST_F(CadastroCliente, CnpjJaCadastradoUsaOMenorCodigo) {
  Preparar();
  // Stored punctuated; the web service sends the digits only.
  amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (40, 'B', '98.765.432/0001-10')");
  amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (15, 'A', '98.765.432/0001-10')");
  amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (3, 'C', '98765432000110')");
  DefinirGerador("CAD_PESSOA", 120);
  Requisitar(7, 1);
  Item item;
  item.cnpj = J("98765432000110");
  Responder(RespostaFaturamento({item}));

  Executar();

  const Linhas novas = Novas();
  EXPECT_EQ(std::count(novas.begin(), novas.end(), "Cliente: 15"), 1);
  EXPECT_EQ(std::count_if(novas.begin(), novas.end(),
                          [](const std::string& l) { return l.starts_with("Cliente Cadastrado"); }),
            0);
  EXPECT_EQ(Pessoas().size(), 3u);
  EXPECT_EQ(Gerador("CAD_PESSOA"), "120");
  ASSERT_EQ(Itens().size(), 1u);
  EXPECT_EQ(Itens()[0][3], "15");
}

TEST_P(CadastroClientePorTopologia, NovoClienteRecebeOProximoCodigoETodosOsValoresFixos) {
  Preparar();
  DefinirGerador("CAD_PESSOA", 120);
  Requisitar(7, 1);
  Item item;
  item.id_fatura = "7001";
  item.cnpj = J("98765432000110");
  item.nome = J("José & Filhos Ação Ltda");
  item.ie = J("ISENTO");
  item.cep = "1310100";  // a number, as some records send it
  item.complemento = J("");
  item.endereco = J("Av. Paulista");
  item.numero = J("1578A");
  item.bairro = J("Bela Vista");
  item.codigoIbge = J("3550308");
  item.ano = "2024";
  item.mes = "3";
  Responder(RespostaFaturamento({item}));

  Executar();  // the run is for February 2025; the client starts in March 2024

  const Linhas novas = Novas();
  const auto cliente = std::find(novas.begin(), novas.end(), "Cliente: 0");
  ASSERT_NE(cliente, novas.end());
  ASSERT_NE(cliente + 1, novas.end());
  EXPECT_EQ(*(cliente + 1), "Cliente Cadastrado: 121");
  EXPECT_EQ(Gerador("CAD_PESSOA"), "121");

  const std::pair<const char*, const char*> colunas[] = {
      {"CADASTRO", "121"},
      {"NOME", "José & Filhos Ação Ltda"},
      {"CNPJ_CPF", "98.765.432/0001-10"},
      {"IE_RG", ""},
      {"ENDERECO", "Av. Paulista"},
      {"NUMERO_ENDERECO", "1578A"},
      {"COMPLEMENTO", ""},
      {"BAIRRO", "Bela Vista"},
      {"CEP", "01.310-100"},
      {"CIDADE", "3550308"},
      {"CLI_INATIVO", "1"},
      {"TIPO_CLIENTE", "2"},
      {"TIPO_FORNECEDOR", "1"},
      {"TIPO_TRANSPORTADORA", "1"},
      {"TIPO_VENDEDOR", "1"},
      {"TIPO_FUNCIONARIO", "1"},
      {"CLI_BLOQUEAR_VENDA_CREDIARIO", "1"},
      {"CLI_POSSUE_IMOVEL", "1"},
      {"CLI_POSSUE_AUTOMOVEL", "1"},
      {"CLI_PAGA_ALUGUEL", "1"},
      {"CLI_POSSUE_NIVEL_SUPERIOR", "1"},
      {"CLI_PASSOU_SERASA", "1"},
      {"CLI_PASSOU_SPC", "1"},
      {"CLI_NAO_IMPRIMIR_CARTA_DEBITO", "1"},
      {"FOR_INATIVO", "1"},
      {"VEN_INATIVO", "1"},
      {"FUN_INATIVO", "1"},
      {"TRA_INATIVO", "1"},
      {"TIPO_CONVENIO", "1"},
      {"CLI_PRAZO_VENCIMENTO_CREDIARIO", "1"},
      {"CLI_BLOQUEAR_VENDA_CHEQUE", "1"},
      {"CLI_RESIDE_UM_ANO_ENDERECO", "1"},
      {"ACERTO_CADASTRO", "1"},
      {"CLI_NAO_COBRAR_JUROS_MENSAL", "1"},
      {"CLI_CONTRATO_MANUTENCAO", "2"},
      {"CLI_13_SALARIO_MANUTENCAO", "1"},
      {"REAJUSTE_CONTRATO_MANUTENCAO", "1"},
      {"CLI_CONTRATO_FATURAMENTO", "2"},
      {"CNPJ_LICENCA", "98.765.432/0001-10"},
      {"TIPO_CONTRATO_MANUTENCAO", "Mensal"},
      {"CLI_DIA_CONTRATO_MANUTENCAO", "10"},
      {"CLI_MES_INICIAL_MENSALIDADE", "Março"},
      {"CLI_ANO_INICIAL_MENSALIDADE", "2024"},
      {"CLI_VALOR_CONTRATO_MANUTENCAO", "0.00"},
      {"CLI_BLOQUEAR_VENDA_DIAS_ATRASO", "1"},
      {"TRA_ENVIAR_COMUNICADO_NFE", "1"},
  };
  ASSERT_EQ(std::size(colunas), 46u);
  for (const auto& [coluna, valor] : colunas) {
    // Text columns hold an empty text, never a null; the blanks that pad a
    // fixed-length column are no part of its value.
    EXPECT_EQ(amb->Valor(std::string("SELECT COALESCE(TRIM(TRAILING FROM CAST(") + coluna +
                         " AS VARCHAR(100))), '<nulo>') FROM CAD_PESSOA WHERE CADASTRO = 121"),
              valor)
        << coluna;
  }
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "121", "5.5000", "150.7500", "7001"}}));
}

TEST_F(CadastroCliente, FalhaNoCadastroDeixaALinhaSemCliente) {
  struct Caso {
    const char* nome;
    std::function<void(Item&)> alterar;
    std::vector<std::string> setup;  // SQL run before the import
    std::string erro;          // the text after "Erro ao gravar o Cliente - Id: 1001 - Erro: ", or after "Erro: "
    bool erro_do_cadastro;     // false: the generator could not be read
    bool erro_exato;           // false: the database's own message, compared by its start only
    std::string gerador;       // CAD_PESSOA afterwards; "" when it no longer exists
    std::string faturamento = "Faturamento: 0";
  };
  const Caso casos[] = {
      {"codigoIbge vazio", [](Item& i) { i.codigoIbge = J(""); }, {}, "'' is not a valid integer value", true, true,
       "120"},
      {"ano com decimais", [](Item& i) { i.ano = "2024.0"; }, {}, "'2024.0' is not a valid integer value", true, true,
       "120"},
      {"mes por extenso", [](Item& i) { i.mes = J("março"); }, {}, "'março' is not a valid integer value", true, true,
       "120"},
      {"codigoIbge fora dos 32 bits", [](Item& i) { i.codigoIbge = "35503080000"; }, {},
       "'35503080000' is not a valid integer value", true, true, "120"},
      // The database refuses the row after the code was drawn: a gap.
      {"nome longo demais", [](Item& i) { i.nome = J(std::string(101, 'N')); }, {}, "", true, false, "121"},
      {"gerador inexistente", [](Item&) {}, {"DROP GENERATOR CAD_PESSOA"}, "", false, false, ""},
      // The month's header exists, so that nothing else needs a generator.
      {"GENERATORS sem registro", [](Item&) {},
       {"DELETE FROM GENERATORS",
        "INSERT INTO MOV_CONTRATO_FATURAMENTO (EMPRESA, NUMERO, MES_REFERENCIA, ANO_REFERENCIA) "
        "VALUES (7, 30, 'Fevereiro', 2025)"},
       "A tabela GENERATORS não tem registro.", false, true, "120", "Faturamento: 30"},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    DefinirGerador("CAD_PESSOA", 120);
    for (const auto& sql : caso.setup) amb->Executar(sql);
    Requisitar(7, 1);
    Item item;
    caso.alterar(item);
    Responder(RespostaFaturamento({item}));

    Executar();

    const Linhas novas = Novas();
    ASSERT_EQ(novas.size(), 3u) << testing::PrintToString(novas);
    const std::string prefixo =
        caso.erro_do_cadastro ? "Erro ao gravar o Cliente - Id: 1001 - Erro: " : std::string("Erro: ");
    if (caso.erro_exato)
      EXPECT_EQ(novas[0], prefixo + caso.erro);
    else
      EXPECT_TRUE(novas[0].starts_with(prefixo) && novas[0].size() > prefixo.size()) << novas[0];
    EXPECT_EQ(novas[1], caso.faturamento);
    EXPECT_EQ(novas[2], "Erro ao buscar o Cliente. Fatura Nr: 1001");
    EXPECT_EQ(Pessoas(), Tabela{});
    EXPECT_EQ(Itens(), Tabela{});
    if (!caso.gerador.empty()) {
      EXPECT_EQ(Gerador("CAD_PESSOA"), caso.gerador);
    }
    EXPECT_EQ(Requisicoes(), Tabela{});
  }
}

TEST_F(CadastroCliente, MesmoCnpjNovoEmDuasLinhasCadastraUmaVez) {
  Preparar();
  DefinirGerador("CAD_PESSOA", 120);
  Requisitar(7, 1);
  Item primeiro = ItemCliente(1001, "12345678901");
  Item segundo = ItemCliente(1002, "123.456.789-01");
  Responder(RespostaFaturamento({primeiro, segundo}));

  Executar();

  const Linhas novas = Novas();
  const auto inicio = std::find(novas.begin(), novas.end(), "Buscando Fatura nos lançamentos de Faturamento.");
  ASSERT_NE(inicio, novas.end());
  EXPECT_EQ(Linhas(inicio + 1, inicio + 5),
            (Linhas{"Cliente: 0", "Cliente Cadastrado: 121", "Cliente: 121", "Buscando Faturamento."}));
  EXPECT_EQ(Pessoas(), (Tabela{{"121", "123.456.789-01", "Cliente 1001"}}));
  EXPECT_EQ(Gerador("CAD_PESSOA"), "121");
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "121", "5.5000", "150.7500", "1001"},
                             {"7", "1", "2", "121", "5.5000", "150.7500", "1002"}}));
}

TEST_P(CadastroClientePorTopologia, CodigoTomadoPorOutroProgramaNaoTravaAsExecucoesSeguintes) {
  Preparar(7, "Nao");
  DefinirGerador("CAD_PESSOA", 120);
  // Another program of the ERP took 121 without advancing the generator.
  amb->Executar("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF) VALUES (121, 'Outro', '00.000.000/0001-00')");
  Requisitar(7, 1);
  const std::vector<Item> itens = {ItemCliente(1001, CnpjTeste(1)), ItemCliente(1002, CnpjTeste(2))};
  Responder(RespostaFaturamento(itens));

  Executar();

  Linhas novas = Novas();
  ASSERT_EQ(novas.size(), 3u) << testing::PrintToString(novas);
  EXPECT_TRUE(novas[0].starts_with("Erro ao gravar o Cliente - Id: 1001 - Erro: ")) << novas[0];
  EXPECT_EQ(novas[1], "Faturamento: 0");
  EXPECT_EQ(novas[2], "Erro ao buscar o Cliente. Fatura Nr: 1001");
  // The next row of the same run already gets a free code.
  EXPECT_EQ(Pessoas(), (Tabela{{"121", "00.000.000/0001-00", "Outro"}, {"122", CnpjTesteFormatado(2), "Cliente 1002"}}));
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "122", "5.5000", "150.7500", "1002"}}));

  // The ERP asks again: the client that failed is registered now.
  Requisitar(7, 2);
  Executar();

  EXPECT_EQ(Novas(), Linhas{"Faturamento: 1"});
  EXPECT_EQ(Pessoas(), (Tabela{{"121", "00.000.000/0001-00", "Outro"},
                               {"122", CnpjTesteFormatado(2), "Cliente 1002"},
                               {"123", CnpjTesteFormatado(1), "Cliente 1001"}}));
  EXPECT_EQ(Itens(), (Tabela{{"7", "1", "1", "122", "5.5000", "150.7500", "1002"},
                             {"7", "1", "2", "123", "5.5000", "150.7500", "1001"}}));
  EXPECT_EQ(Gerador("CAD_PESSOA"), "123");
  EXPECT_EQ(Requisicoes(), Tabela{});
}

INSTANTIATE_TEST_SUITE_P(Topologia, CadastroClientePorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
