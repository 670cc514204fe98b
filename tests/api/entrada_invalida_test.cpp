// Replies that no well-behaved web service sends: members of the wrong type,
// nesting past any reason, numbers beyond every integer, bytes that are not
// UTF-8, NUL bytes. Each flow says so in the log, marks nothing and writes
// nothing. And text that the ERP's WIN1252 columns cannot hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "api/multipart.h"
#include "tests/api/faturamento_apoio.h"
#include "tests/api/fluxos_apoio.h"

namespace lumiford::teste {
namespace {

using namespace std::string_literals;

struct Caso {
  const char* nome;
  std::string corpo;
  std::string linha;  // the line the flow must write; "" when the reply is simply not applied
};

std::string Profundo(std::size_t niveis) { return std::string(niveis, '[') + std::string(niveis, ']'); }

bool Contem(const Linhas& linhas, const std::string& linha) {
  return std::find(linhas.begin(), linhas.end(), linha) != linhas.end();
}

// ---------------------------------------------------------------------------
// Paid-invoice report

class FaturasPagasEntradaInvalida : public AmbienteFluxos {};

TEST_F(FaturasPagasEntradaInvalida, RespostaMalFormadaNaoMarcaNenhumaFatura) {
  const std::string ler = "Erro ao ler a resposta da API.";
  const auto sucesso = [](const std::string& elemento) {
    return R"({"error": false, "messageSuccess": [)" + elemento + R"(], "messageError": []})";
  };
  const auto recusa = [](const std::string& elemento) {
    return R"({"error": false, "messageSuccess": [], "messageError": [)" + elemento + "]}";
  };
  const std::vector<Caso> casos = {
      // wrong types, member by member
      {"error objeto", R"({"error": {}, "messageSuccess": [{"message": "ok", "id_fatura": 101}]})", ler},
      {"error lista", R"({"error": [false], "messageSuccess": [{"message": "ok", "id_fatura": 101}]})", ler},
      {"message objeto", sucesso(R"({"message": {"texto": "ok"}, "id_fatura": 101})"), ler},
      {"message lista", sucesso(R"({"message": ["ok"], "id_fatura": 101})"), ler},
      {"id_fatura lista", sucesso(R"({"message": "ok", "id_fatura": [101]})"), ler},
      {"id_fatura objeto", sucesso(R"({"message": "ok", "id_fatura": {"id": 101}})"), ler},
      {"id_fatura logico", sucesso(R"({"message": "ok", "id_fatura": true})"), ler},
      {"id_fatura nulo", sucesso(R"({"message": "ok", "id_fatura": null})"), ler},
      {"id_fatura decimal", sucesso(R"({"message": "ok", "id_fatura": 101.0})"), ler},
      {"id_fatura expoente", sucesso(R"({"message": "ok", "id_fatura": 1.01e2})"), ler},
      {"id_fatura texto", sucesso(R"({"message": "ok", "id_fatura": "101abc"})"), ler},
      {"elemento numero", sucesso("101"), ler},
      {"elemento texto", sucesso(R"("101")"), ler},
      {"recusa ja paga com id objeto", recusa(R"({"message": "REGISTRO PAGO", "id_fatura": {"id": 101}})"), ler},
      {"listas de outro tipo", R"({"error": false, "messageSuccess": {"message": "ok", "id_fatura": 101}, )"
                               R"("messageError": "REGISTRO PAGO"})", ""},
      {"raiz lista", R"([{"error": false, "messageSuccess": [{"message": "ok", "id_fatura": 101}]}])", ler},
      // numbers beyond every integer: none may wrap onto a real invoice
      {"id enorme", sucesso(R"({"message": "ok", "id_fatura": 99999999999999999999999})"), ler},
      {"id de 64 bits que cai em 101", sucesso(R"({"message": "ok", "id_fatura": 4294967397})"), ler},
      {"id negativo que cai em 101", sucesso(R"({"message": "ok", "id_fatura": -18446744073709551515})"), ler},
      {"id com mil digitos", sucesso(R"({"message": "ok", "id_fatura": )" + std::string(1000, '9') + "}"), ler},
      // nesting
      {"profundidade enorme", Profundo(100000), ler},
      {"membro profundo", sucesso(R"({"message": "ok", "id_fatura": 101, "x": )" + Profundo(600) + "}"), ler},
      // bytes that are not UTF-8 arrive as U+FFFD: no identifier survives them
      {"utf8 cortado no id", sucesso("{\"message\": \"ok\", \"id_fatura\": \"10\xC3" "1\"}"), ler},
      {"utf8 longo demais no id", sucesso("{\"message\": \"ok\", \"id_fatura\": \"1\xC0\xAF" "01\"}"), ler},
      {"utf8 substituto no id", sucesso("{\"message\": \"ok\", \"id_fatura\": \"\xED\xA0\x80" "101\"}"), ler},
      {"latin1 na recusa", recusa("{\"message\": \"Registro n\xE3o encontrado\", \"id_fatura\": 101}"),
       "Id: 101 - Erro: Registro n\uFFFDo encontrado"},
      {"substituto solto escapado", sucesso(R"({"message": "\uD800", "id_fatura": 101})"), ler},
      // NUL bytes
      {"nul dentro do texto", sucesso("{\"message\": \"ok\0\", \"id_fatura\": 101}"s), ler},
      {"nul depois do objeto", sucesso(R"({"message": "ok", "id_fatura": 101})") + "\0"s, ler},
      {"nul escapado no id", sucesso(R"({"message": "ok", "id_fatura": "101\u0000"})"), ler},
      {"nul escapado antes do id", sucesso(R"({"message": "ok", "id_fatura": "\u0000101"})"), ler},
  };

  Iniciar();
  for (const auto& [cliente, numero, id] : {std::tuple{"10", "500", "101"}, std::tuple{"11", "501", "102"}}) {
    Recebivel r;
    r.cliente = cliente, r.numero = numero, r.id_fatura = id, r.fatura_enviada = "'1'";
    Executar(r.Sql());
  }
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    LimparLog();
    const std::size_t antes = sim.Requisicoes().size();
    sim.ResponderPadrao(Resposta::Json(caso.corpo));

    EnviarFaturasPagas();

    EXPECT_EQ(sim.Requisicoes().size(), antes + 1);
    EXPECT_EQ(Amb().Consultar("SELECT ID_FATURA, FATURA_ENVIADA FROM MOV_CONTAS_RECEBER ORDER BY ID_FATURA"),
              (Tabela{{"101", "1"}, {"102", "1"}}));
    const Linhas log = Mensagens();
    if (caso.linha.empty())
      EXPECT_EQ(log, Linhas{});
    else
      EXPECT_EQ(log, Linhas{caso.linha});
    // Whatever a case marked wrongly, the next one starts clean.
    Executar("UPDATE MOV_CONTAS_RECEBER SET FATURA_ENVIADA = '1'");
  }
}

// ---------------------------------------------------------------------------
// Boleto upload (the service-invoice upload reads its reply the same way)

class BoletosEntradaInvalida : public AmbienteFluxos {};

TEST_F(BoletosEntradaInvalida, RespostaMalFormadaNaoMarcaOBoleto) {
  const std::string ler = "Erro ao ler a resposta da API.";
  const std::vector<Caso> casos = {
      {"sucess objeto", R"({"sucess": {}, "message": "ok"})", ler},
      {"sucess lista", R"({"sucess": [true], "message": "ok"})", ler},
      {"sucess nulo", R"({"sucess": null, "message": "ok"})", ler},
      {"sucess texto", R"({"sucess": "talvez", "message": "ok"})", ler},
      {"sucess com outra grafia", R"({"Sucess": true, "message": "ok"})", ler},
      {"message objeto", R"({"sucess": true, "message": {"texto": "ok"}})", ler},
      {"message lista", R"({"sucess": true, "message": ["ok"]})", ler},
      {"sem message", R"({"sucess": true})", ler},
      {"raiz lista", R"([{"sucess": true, "message": "ok"}])", ler},
      {"raiz texto", R"("sucess")", ler},
      {"message numero enorme", R"({"sucess": false, "message": 123456789012345678901234567890})",
       "Erro ao enviar arquivo. 123456789012345678901234567890"},
      {"profundidade enorme", Profundo(100000), ler},
      {"membro profundo", R"({"sucess": true, "message": "ok", "x": )" + Profundo(600) + "}", ler},
      // bytes that are not UTF-8 arrive as U+FFFD
      {"utf8 invalido na bandeira", "{\"sucess\": \"tru\xFF\", \"message\": \"ok\"}", ler},
      {"latin1", "{\"sucess\": false, \"message\": \"Arquivo inv\xE1lido\"}",
       "Erro ao enviar arquivo. Arquivo inv\uFFFDlido"},
      {"nul dentro do texto", "{\"sucess\": true, \"message\": \"o\0k\"}"s, ler},
      {"nul depois do objeto", R"({"sucess": true, "message": "ok"})" + "\0"s, ler},
      {"nul no nome do membro", "{\"suc\0ess\": true, \"message\": \"ok\"}"s, ler},
  };

  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Contrato(1234, "2025", "'Março'");
  Executar(Recebivel{}.Sql());
  CriarArquivo(std::filesystem::path(Amb().Servidor()) / "Boleto" / "12345678000195" / "98765432000110" /
                   "CM 1234-1.pdf",
               "%PDF-1.4");
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    LimparLog();
    const std::size_t antes = sim.Requisicoes().size();
    sim.ResponderPadrao(Resposta::Json(caso.corpo));

    EnviarBoletos();

    EXPECT_EQ(sim.Requisicoes().size(), antes + 1);
    EXPECT_EQ(Valor("SELECT COALESCE(STATUS_ENVIO_API, 'nulo') FROM MOV_CONTAS_RECEBER"), "nulo");
    EXPECT_EQ(Mensagens(), Linhas{caso.linha});
    Executar("UPDATE MOV_CONTAS_RECEBER SET STATUS_ENVIO_API = NULL");
  }
}

// ---------------------------------------------------------------------------
// Billing import

class FaturamentoEntradaInvalida : public AmbienteFaturamento {
 protected:
  // Nothing of the run is in the database and the request is still there.
  void NadaGravado() {
    EXPECT_EQ(Requisicoes(), (Tabela{{"7", "4"}}));
    EXPECT_EQ(Pessoas(), Tabela{});
    EXPECT_EQ(Itens(), Tabela{});
    EXPECT_EQ(Cabecalhos(), Tabela{});
    EXPECT_EQ(Gerador("CAD_PESSOA"), "50");
  }
};

TEST_F(FaturamentoEntradaInvalida, MembroDeOutroTipoTerminaAExecucaoSemGravar) {
  const std::pair<const char*, std::string Item::*> membros[] = {
      {"id_fatura", &Item::id_fatura}, {"ano", &Item::ano},           {"mes", &Item::mes},
      {"aliquota", &Item::aliquota},   {"valorCobranca", &Item::valorCobranca},
      {"observacao", &Item::observacao}, {"nome", &Item::nome},       {"cnpj", &Item::cnpj},
      {"ie", &Item::ie},               {"endereco", &Item::endereco}, {"numero", &Item::numero},
      {"bairro", &Item::bairro},       {"complemento", &Item::complemento}, {"cep", &Item::cep},
      {"codigoIbge", &Item::codigoIbge}};
  struct Tipo {
    const char* json;
    const char* erro;
  };
  const Tipo tipos[] = {{"{}", "Conversion from TJSONObject to string is not supported"},
                        {R"(["x"])", "Conversion from TJSONArray to string is not supported"}};

  Preparar(7, "Nao");
  Requisitar(7, 4);
  DefinirGerador("CAD_PESSOA", 50);
  for (const auto& [membro, campo] : membros) {
    for (const auto& tipo : tipos) {
      SCOPED_TRACE(std::string(membro) + " " + tipo.json);
      // The bad item comes second: the first one, read whole, must not be written either.
      std::vector<Item> itens{ItemCliente(2001, CnpjTeste(1)), ItemCliente(2002, CnpjTeste(2))};
      itens[1].*campo = tipo.json;
      sim->ResponderPadrao(Resposta::Json(RespostaFaturamento(itens)));

      EXPECT_EQ(ExecutarComErro(), tipo.erro);
      NadaGravado();
    }
  }

  const struct {
    const char* nome;
    std::string corpo;
    std::string erro;
  } envelopes[] = {
      {"bandeira objeto", R"({"error":{},"data":[)" + Item{}.Json() + "]}",
       "Conversion from TJSONObject to Boolean is not supported"},
      {"bandeira lista", R"({"error":[true],"data":[)" + Item{}.Json() + "]}",
       "Conversion from TJSONArray to Boolean is not supported"},
      {"data objeto", R"({"error":false,"data":)" + Item{}.Json() + "}", "Invalid class typecast"},
      {"data texto", R"({"error":false,"data":"[]"})", "Invalid class typecast"},
  };
  for (const auto& e : envelopes) {
    SCOPED_TRACE(e.nome);
    sim->ResponderPadrao(Resposta::Json(e.corpo));
    EXPECT_EQ(ExecutarComErro(), e.erro);
    NadaGravado();
  }

  // "contatos" that is not a list.
  Item sem_lista;
  sem_lista.omitir = {"contatos"};
  std::string corpo = RespostaFaturamento({sem_lista});
  corpo.insert(corpo.size() - 3, R"(,"contatos":{"tipo":"email","contato":"a@b.com"})");
  sim->ResponderPadrao(Resposta::Json(corpo));
  EXPECT_EQ(ExecutarComErro(), "Invalid class typecast");
  NadaGravado();
}

TEST_F(FaturamentoEntradaInvalida, RespostaIlegivelTerminaAExecucaoSemGravar) {
  const std::string item = Item{}.Json();
  const std::string valido = RespostaFaturamento({Item{}});
  const std::vector<Caso> casos = {
      {"profundidade enorme", Profundo(100000), ""},
      {"objeto profundo", std::string(100000, '{'), ""},
      {"membro profundo",
       R"({"error":false,"data":[)" + item.substr(0, item.size() - 1) + R"(,"x":)" + Profundo(600) + "}]}", ""},
      {"substituto solto escapado", R"({"error":false,"data":[{"nome":"\uD800"}]})", ""},
      {"nul dentro do texto", R"({"error":false,"data":[{"nome":"a)" "\0"s R"("}]})", ""},
      {"nul depois do objeto", valido + "\0"s, ""},
      {"nul antes do objeto", "\0"s + valido, ""},
  };

  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    Requisitar(7, 4);
    DefinirGerador("CAD_PESSOA", 50);
    sim->ResponderPadrao(Resposta::Json(caso.corpo));
    EXPECT_EQ(ExecutarComErro(), "Resposta da API inválida: o retorno não é um objeto JSON.");
    NadaGravado();
  }
}

// The invoice number goes into 32-bit columns and the amounts into currency
// columns: a number beyond them must never be cut, wrapped or rounded into
// a value the web service did not send.
TEST_F(FaturamentoEntradaInvalida, NumerosEnormesNaoViramOutroValor) {
  enum class Fim {
    RespostaRecusada,  // the reply is not read at all: nothing written
    RunTerminaComErro, // the run ends with the value in its error: no item, request kept
    ItemRecusado,      // the row's item fails with a log line; the run goes on
  };
  struct CasoNumero {
    const char* nome;
    std::string Item::*membro;
    std::string valor;
    Fim fim;
    std::string texto;  // in the error or the log line
  };
  const CasoNumero casos[] = {
      {"id_fatura enorme", &Item::id_fatura, "99999999999999999999999", Fim::RunTerminaComErro,
       "99999999999999999999999"},
      // 2^32 + 1001: wrapped to 32 bits it would be invoice 1001
      {"id_fatura de 64 bits", &Item::id_fatura, "4294968297", Fim::RunTerminaComErro, ""},
      {"id_fatura negativo", &Item::id_fatura, "-1001", Fim::RunTerminaComErro, "-1001"},
      {"id_fatura com expoente", &Item::id_fatura, "1.001e3", Fim::RunTerminaComErro, "1.001e3"},
      {"valorCobranca alem do double", &Item::valorCobranca, "1e400", Fim::RespostaRecusada, ""},
      {"aliquota com 400 digitos", &Item::aliquota, std::string(400, '9'), Fim::RespostaRecusada, ""},
      {"valorCobranca alem da moeda", &Item::valorCobranca, "99999999999999999999.99", Fim::ItemRecusado,
       "Erro: '99999999999999999999,99' is not a valid floating point value"},
  };

  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    Requisitar(7, 4);
    DefinirGerador("CAD_PESSOA", 50);
    Item item = ItemCliente(1001, CnpjTeste(1));
    item.*caso.membro = caso.valor;
    sim->ResponderPadrao(Resposta::Json(RespostaFaturamento({item})));

    const std::string erro = ExecutarComErro();

    EXPECT_EQ(Itens(), Tabela{});
    switch (caso.fim) {
      case Fim::RespostaRecusada:
        EXPECT_EQ(erro, "Resposta da API inválida: o retorno não é um objeto JSON.");
        NadaGravado();
        break;
      case Fim::RunTerminaComErro:
        EXPECT_FALSE(erro.empty());
        EXPECT_NE(erro.find(caso.texto), std::string::npos) << erro;
        EXPECT_EQ(Requisicoes(), (Tabela{{"7", "4"}}));
        EXPECT_EQ(Cabecalhos(), Tabela{});
        break;
      case Fim::ItemRecusado:
        EXPECT_EQ(erro, "");
        EXPECT_TRUE(Contem(Novas(), caso.texto)) << ::testing::PrintToString(Novas());
        break;
    }
  }
}

// An invoice number that cannot be stored is known as soon as the reply is
// read: the client of that row must not be registered before the run ends.
TEST_F(FaturamentoEntradaInvalida, NumeroDeFaturaInvalidoNaoCadastraOCliente) {
  for (const std::string id : {"99999999999999999999999", "4294968297", "-1001", "1.001e3"}) {
    SCOPED_TRACE(id);
    Preparar(7, "Nao");
    Requisitar(7, 4);
    DefinirGerador("CAD_PESSOA", 50);
    Item item = ItemCliente(1001, CnpjTeste(1));
    item.id_fatura = id;
    sim->ResponderPadrao(Resposta::Json(RespostaFaturamento({ItemCliente(1000, CnpjTeste(2)), item})));

    EXPECT_NE(ExecutarComErro(), "");
    NadaGravado();
  }
}

TEST_F(FaturamentoEntradaInvalida, TextoQueWin1252NaoGuardaNaoCadastraOCliente) {
  const std::string emoji = J("Caf\xC3\xA9 \xF0\x9F\x98\x80 Ltda");
  struct CasoTexto {
    const char* nome;
    std::string Item::*membro;
    std::string texto;
  };
  const CasoTexto casos[] = {
      {"emoji no nome", &Item::nome, emoji},
      {"emoji no endereco", &Item::endereco, emoji},
      {"emoji no numero", &Item::numero, emoji},
      {"emoji no bairro", &Item::bairro, emoji},
      {"emoji no complemento", &Item::complemento, emoji},
      {"chines no nome", &Item::nome, J("\xE4\xB8\xAD\xE6\x96\x87")},
      // A byte that is not UTF-8 reaches the row as U+FFFD, which WIN1252 has no place for.
      {"latin1 no nome", &Item::nome, J("Caf\xE9 Ltda")},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Preparar(7, "Nao");
    Requisitar(7, 4);
    DefinirGerador("CAD_PESSOA", 50);
    // The bad client comes first: no code may be drawn for it.
    Item ruim = ItemCliente(1001, CnpjTeste(1));
    ruim.*caso.membro = caso.texto;
    Item bom = ItemCliente(1002, CnpjTeste(2));
    sim->ResponderPadrao(Resposta::Json(RespostaFaturamento({ruim, bom})));

    EXPECT_EQ(ExecutarComErro(), "");

    const Linhas novas = Novas();
    const auto falha = std::find_if(novas.begin(), novas.end(), [](const std::string& l) {
      return l.starts_with("Erro ao gravar o Cliente - Id: 1001 - Erro: ");
    });
    EXPECT_NE(falha, novas.end()) << ::testing::PrintToString(novas);
    EXPECT_TRUE(Contem(novas, "Erro ao buscar o Cliente. Fatura Nr: 1001")) << ::testing::PrintToString(novas);
    EXPECT_EQ(Pessoas(), (Tabela{{"51", CnpjTesteFormatado(2), "Cliente 1002"}}));
    EXPECT_EQ(Gerador("CAD_PESSOA"), "51");
    const Tabela itens = Itens();
    ASSERT_EQ(itens.size(), 1u);
    EXPECT_EQ(itens[0][3], "51");
    EXPECT_EQ(itens[0][6], "1002");
  }
}

// ---------------------------------------------------------------------------
// Names in a part header

// The service-invoice file name comes from an ERP column: a quote in it must
// not close the quoted header value early.
TEST(NomesDeParte, AspasNoNomeNaoFechamOValorDoCabecalho) {
  for (const std::string nome : {"nota \"1\".xml", "a\\\"; name=\"x.xml", "\""}) {
    SCOPED_TRACE(nome);
    EXPECT_EQ(NomeCabecalhoParte(nome).find('"'), std::string::npos) << NomeCabecalhoParte(nome);
  }
}

}  // namespace
}  // namespace lumiford::teste
