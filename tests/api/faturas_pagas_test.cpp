// Paid-invoice report end to end: the selection of paid receivables, the body
// on the wire, the marks the reply leads to and the log lines.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <map>
#include <set>
#include <string>

#include "global/parada.h"
#include "tests/api/fluxos_apoio.h"

namespace lumiford::teste {
namespace {

const char* const kCaminho = "/financeiro/cliente/faturado";

class FaturasPagas : public AmbienteFluxos {
 protected:
  // A payment entry of MOV_IT_CONTAS_RECEBER.
  void Pagamento(const std::string& empresa, const std::string& cliente, const std::string& numero,
                 const std::string& serie, const std::string& parcela, int seq, const std::string& valor,
                 const std::string& caixa = "'CM'") {
    Executar("INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, SEQ, "
             "VALOR_PAGO) VALUES (" + empresa + ", " + caixa + ", 'CM', " + cliente + ", " + numero + ", " + serie +
             ", " + parcela + ", " + std::to_string(seq) + ", " + valor + ")");
  }

  // A paid, unreported receivable of company 7 with the given invoice.
  void Pago(const std::string& cliente, const std::string& numero, const std::string& id_fatura) {
    Recebivel r;
    r.cliente = cliente;
    r.numero = numero;
    r.id_fatura = id_fatura;
    r.fatura_enviada = "'1'";
    Executar(r.Sql());
  }

  // FATURA_ENVIADA of every receivable, keyed by "empresa/caixa/cliente/numero".
  std::map<std::string, std::string> Marcas() {
    std::map<std::string, std::string> marcas;
    for (const auto& l : Amb().Consultar("SELECT EMPRESA, CAIXA, CLIENTE, NUMERO, FATURA_ENVIADA FROM MOV_CONTAS_RECEBER"))
      marcas[l[0] + "/" + l[1] + "/" + l[2] + "/" + l[3]] = l[4];
    return marcas;
  }
};

// Its main paths, in every way the database is reached.
using FaturasPagasPorTopologia = EmCadaTopologia<FaturasPagas>;

TEST_P(FaturasPagasPorTopologia, SelecionaOsTitulosPagosEEnviaOCorpoExato) {
  Iniciar(/*debug=*/true);
  const auto inserir = [&](Recebivel r) { Executar(r.Sql()); };
  Recebivel base;
  base.fatura_enviada = "'1'";

  // Reported: paid in two entries whose series and instalment differ from the receivable's.
  Recebivel pago = base;
  pago.cliente = "10", pago.numero = "500", pago.id_fatura = "101";
  inserir(pago);
  Pagamento("7", "10", "500", "2", "3", 1, "100.00");
  Pagamento("7", "10", "500", "1", "1", 2, "50.50");
  Pagamento("8", "10", "500", "1", "1", 3, "1000");       // another company
  Pagamento("7", "10", "599", "1", "1", 4, "1000");       // another number
  Pagamento("7", "10", "500", "1", "1", 5, "1000", "'XX'");  // another cash register

  // Left out, each for one reason.
  Recebivel r = base;
  r.cliente = "11", r.numero = "501", r.id_fatura = "102", r.fatura_enviada = "NULL";
  inserir(r);
  r = base, r.cliente = "0", r.numero = "502", r.id_fatura = "103";
  inserir(r);
  r = base, r.cliente = "12", r.numero = "503", r.id_fatura = "104", r.fatura_enviada = "'2'";
  inserir(r);
  r = base, r.cliente = "13", r.numero = "504", r.id_fatura = "105", r.saldo = "10";
  inserir(r);
  r = base, r.cliente = "14", r.numero = "505", r.id_fatura = "106", r.caixa = "'XX'";
  inserir(r);
  r = base, r.cliente = "14", r.numero = "506", r.id_fatura = "106", r.documento = "'XX'";
  inserir(r);
  r = base, r.empresa = "8", r.cliente = "15", r.numero = "507", r.id_fatura = "107";
  inserir(r);
  r = base, r.cliente = "16", r.numero = "508", r.id_fatura = "0";
  inserir(r);
  r = base, r.cliente = "16", r.numero = "509", r.id_fatura = "NULL";
  inserir(r);

  // Reported: no payment entry at all, and a whole amount.
  r = base, r.cliente = "17", r.numero = "510", r.id_fatura = "108";
  inserir(r);
  r = base, r.cliente = "18", r.numero = "511", r.id_fatura = "110";
  inserir(r);
  Pagamento("7", "18", "511", "1", "1", 1, "120");
  Pagamento("7", "18", "511", "1", "1", 2, "80");

  const std::string resposta =
      R"({"error": false, "messageSuccess": [{"message": "Registro salvo", "id_fatura": 101}], )"
      R"("messageError": [{"message": "Fatura inexistente", "id_fatura": "108"}]})";
  sim.Responder(kCaminho, Resposta::Json(resposta));
  auto esperado = Marcas();
  esperado["7/CM/10/500"] = "2";

  EnviarFaturasPagas();

  const std::string corpo =
      R"([{"id_fatura": 101, "valorPago": 150.5}, {"id_fatura": 108, "valorPago": 0}, {"id_fatura": 110, "valorPago": 200}])";
  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].bruto,
            CabecaPost(std::string(kCaminho) + "?token_erp=" + kToken, "application/json", corpo.size(), sim) + corpo);

  EXPECT_EQ(Mensagens(), (Linhas{
                             "Buscando os Titulos Pagos.",
                             "Cliente: 10", "Fatura:  101", "Valor:   150,5",
                             "Cliente: 17", "Fatura:  108", "Valor:   ",
                             "Cliente: 18", "Fatura:  110", "Valor:   200",
                             "Json Resposta: " + corpo,
                             resposta,
                             "Retorno: Registro salvo - Id: 101",
                             "Id: 108 - Erro: Fatura inexistente",
                         }));

  // Only the accepted invoice is marked; the rejected one and everything else keep their state.
  EXPECT_EQ(Marcas(), esperado);
}

TEST_P(FaturasPagasPorTopologia, MarcaOsAceitosDasDuasListasEmTodosOsTitulosDaFatura) {
  Iniciar();
  Pago("10", "601", "201");
  Pago("11", "602", "202");
  Pago("12", "603", "203");
  Pago("13", "604", "204");
  Pago("14", "605", "205");
  // Not sent (still open), but the web service names its invoice.
  Recebivel aberto;
  aberto.cliente = "15", aberto.numero = "606", aberto.id_fatura = "206", aberto.saldo = "30";
  Executar(aberto.Sql());
  // Same invoice as 201 in another cash register, and in another company.
  Recebivel outro_caixa;
  outro_caixa.caixa = "'XX'", outro_caixa.cliente = "16", outro_caixa.numero = "607", outro_caixa.id_fatura = "201";
  Executar(outro_caixa.Sql());
  Recebivel outra_empresa;
  outra_empresa.empresa = "8", outra_empresa.cliente = "10", outra_empresa.numero = "601";
  outra_empresa.id_fatura = "201", outra_empresa.fatura_enviada = "'1'";
  Executar(outra_empresa.Sql());

  sim.Responder(kCaminho, Resposta::Json(R"({"error": false, "messageSuccess": [)"
                                         R"({"message": "ok", "id_fatura": 201}, {"message": "ok", "id_fatura": "206"}],)"
                                         R"( "messageError": [{"message": "Registro Pago", "id_fatura": 202},)"
                                         R"( {"message": "registro processado", "id_fatura": 203},)"
                                         R"( {"message": "REGISTRO PAGO ", "id_fatura": 204},)"
                                         R"( {"message": "Valor divergente", "id_fatura": 205}]})"));
  const auto pausa = std::chrono::milliseconds(300);
  DefinirPausaAposPost(pausa);

  const auto inicio = std::chrono::steady_clock::now();
  EnviarFaturasPagas();
  // The reply handled, the flow waits before anything else runs.
  EXPECT_GE(std::chrono::steady_clock::now() - inicio, pausa);

  ASSERT_EQ(sim.Requisicoes().size(), 1u);
  EXPECT_EQ(Mensagens(), (Linhas{"Id: 204 - Erro: REGISTRO PAGO ", "Id: 205 - Erro: Valor divergente"}));
  auto marcas = Marcas();
  const std::map<std::string, std::string> esperado = {
      {"7/CM/10/601", "2"}, {"7/CM/11/602", "2"}, {"7/CM/12/603", "2"}, {"7/CM/13/604", "1"},
      {"7/CM/14/605", "1"}, {"7/CM/15/606", "2"}, {"7/XX/16/607", "2"}, {"8/CM/10/601", "1"},
  };
  EXPECT_EQ(marcas, esperado);
}

struct CasoResposta {
  const char* nome;
  Resposta resposta;
  Linhas log;
  std::set<std::string> marcadas;  // invoices marked "2" afterwards
};

TEST_F(FaturasPagas, RespostasQueNaoSeAplicamOuSoEmParte) {
  Iniciar();
  Pago("10", "701", "301");
  Pago("11", "702", "302");
  const Linhas ilegivel = {"Erro ao ler a resposta da API."};
  const CasoResposta casos[] = {
      {"listas vazias", Resposta::Json(R"({"error": false, "messageSuccess": [], "messageError": []})"), {}, {}},
      {"sem error", Resposta::Json(R"({"messageSuccess": [{"message": "ok", "id_fatura": 301}]})"), ilegivel, {}},
      {"id que nao e inteiro para no elemento",
       Resposta::Json(R"({"error": false, "messageSuccess": [{"message": "ok", "id_fatura": 301}, )"
                      R"({"message": "ok", "id_fatura": 302.0}], "messageError": [{"message": "Registro Pago", "id_fatura": 302}]})"),
       ilegivel, {"301"}},
      {"elemento sem id para no elemento",
       Resposta::Json(R"({"error": false, "messageSuccess": [{"message": "ok"}, {"message": "ok", "id_fatura": 302}]})"),
       ilegivel, {}},
      {"so messageError", Resposta::Json(R"({"error": true, "messageError": [{"message": "REGISTRO PAGO", "id_fatura": 302}]})"),
       {}, {"302"}},
      {"messageError que nao e lista",
       Resposta::Json(R"({"error": null, "messageSuccess": [{"message": "ok", "id_fatura": 301}], "messageError": "nada"})"),
       {}, {"301"}},
      {"membro repetido vale o primeiro",
       Resposta::Json(R"({"error": 0, "messageSuccess": [{"message": "ok", "id_fatura": 302, "id_fatura": 301}]})"),
       {}, {"302"}},
      {"nao e JSON", Resposta::Json("<html>erro</html>"), ilegivel, {}},
      {"dois valores", Resposta::Json(R"({"error": false} {"error": false})"), ilegivel, {}},
      {"vazia", Resposta::Json(""), ilegivel, {}},
      {"status 500", Resposta::Status(500, "Internal Server Error", R"({"error": true})"),
       {R"(Erro.: {"error": true})", "Erro ao ler a resposta da API."}, {}},
      {"conexao derrubada", Resposta::ComFalha(Resposta::Falha::Reset),
       {"Erro Desconhecido.", "Erro ao ler a resposta da API."}, {}},
  };
  std::size_t enviadas = 0;
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Executar("UPDATE MOV_CONTAS_RECEBER SET FATURA_ENVIADA = '1'");
    LimparLog();
    sim.ResponderPadrao(caso.resposta);

    EnviarFaturasPagas();

    EXPECT_EQ(sim.Requisicoes().size(), ++enviadas);
    EXPECT_EQ(Mensagens(), caso.log);
    std::set<std::string> marcadas;
    for (const auto& l : Amb().Consultar("SELECT ID_FATURA FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'"))
      marcadas.insert(l[0]);
    EXPECT_EQ(marcadas, caso.marcadas);
  }
}

// A stop asked for before the report is sent sends nothing; one asked for
// while the reply is awaited leaves its marks for later: reported again at
// the next start, the web service answers that it has the invoices, and they
// are marked then.
TEST_F(FaturasPagas, ParadaPedidaNaoEnviaOuDeixaAsMarcasParaAProximaExecucao) {
  Iniciar();
  Pago("10", "901", "501");
  Pago("11", "902", "502");
  sim.Responder(kCaminho, Resposta::Json(R"({"error": false, "messageSuccess": [{"message": "ok", "id_fatura": 501}, )"
                                         R"({"message": "ok", "id_fatura": 502}], "messageError": []})"));

  PedirParada();
  EXPECT_THROW(EnviarFaturasPagas(), ParadaSolicitada);
  EXPECT_TRUE(sim.Requisicoes().empty());

  EsquecerParada();
  sim.AoReceber([](const RequisicaoGravada&) { PedirParada(); });
  EXPECT_THROW(EnviarFaturasPagas(), ParadaSolicitada);
  EXPECT_EQ(sim.Requisicoes().size(), 1u);
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'"), "0");

  EsquecerParada();
  sim.AoReceber({});
  sim.Responder(kCaminho, Resposta::Json(R"({"error": false, "messageSuccess": [], "messageError": [)"
                                         R"({"message": "Registro Pago", "id_fatura": 501}, )"
                                         R"({"message": "Registro Pago", "id_fatura": 502}]})"));
  EnviarFaturasPagas();
  ASSERT_EQ(sim.Requisicoes().size(), 2u);
  EXPECT_EQ(sim.Requisicoes()[1].corpo, sim.Requisicoes()[0].corpo);
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE FATURA_ENVIADA = '2'"), "2");
  EXPECT_EQ(Mensagens(), Linhas{});
}

TEST_F(FaturasPagas, ServidorInalcancavelNaoMarcaNada) {
  std::string endereco;
  {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    endereco = "127.0.0.1:" + std::to_string(a.local_endpoint().port());
  }  // closed again: nobody listens there
  Iniciar(false, 7, endereco);
  Pago("10", "801", "401");

  EnviarFaturasPagas();

  EXPECT_EQ(Mensagens(), (Linhas{"Erro Desconhecido.", "Erro ao ler a resposta da API."}));
  EXPECT_EQ(Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER"), "1");
}

TEST_F(FaturasPagas, SemTituloPagoNadaEEnviado) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    Iniciar(debug);
    Recebivel aberto;
    aberto.id_fatura = "501", aberto.fatura_enviada = "'1'", aberto.saldo = "10";
    Executar(aberto.Sql());
    Recebivel enviado;
    enviado.numero = "1235", enviado.id_fatura = "502", enviado.fatura_enviada = "'2'";
    Executar(enviado.Sql());

    EnviarFaturasPagas();

    EXPECT_TRUE(sim.Requisicoes().empty());
    EXPECT_EQ(Mensagens(), debug ? Linhas{"Buscando os Titulos Pagos."} : Linhas{});
  }
}

INSTANTIATE_TEST_SUITE_P(Topologia, FaturasPagasPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
