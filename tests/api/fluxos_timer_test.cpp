// The handler of Timer with the flows registered as the service registers
// them: the three outgoing flows in their order, and a run that an upload
// file held by another writer ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "tests/api/fluxos_apoio.h"

namespace lumiford::teste {
namespace {

class TimerDosFluxos : public AmbienteFluxos {
 protected:
  // One paid invoice, one boleto and one service invoice, each with its file.
  void PrepararOsTres(const std::vector<std::string>& numeros_boleto) {
    Pessoa(10, std::string("'") + kCnpjCliente + "'");
    Recebivel pago;
    pago.numero = "900", pago.id_fatura = "101", pago.fatura_enviada = "'1'", pago.emissao = "'2024-01-05'";
    Executar(pago.Sql());
    for (const auto& numero : numeros_boleto) {
      Recebivel r;
      r.numero = numero;
      Executar(r.Sql());
      CriarArquivo(PastaBoletos() / ("CM " + numero + "-1.pdf"), "%PDF " + numero);
    }
    Executar("INSERT INTO MOV_NOTA_FISCAL_VENDA (EMPRESA, SERIE, NUMERO, STATUS, IDENTIFICACAO_ARQUIVO_XML_NFE) "
             "VALUES (7, 1, 457, 'NFSE Autorizada', 'nfse-457.xml')");
    Recebivel com_nota;
    com_nota.numero = "901", com_nota.serie_nota = "1", com_nota.numero_nota = "457";
    com_nota.emissao = "'2025-03-01'", com_nota.status_envio = "'Enviado'";  // its boleto went already
    Executar(com_nota.Sql());
    CriarArquivo(std::filesystem::path(Amb().Servidor()) / "NFSe" / "Empresa_007" / "nfse-457.xml", "<xml/>");

    sim.Responder("/financeiro/cliente/faturado",
                  Resposta::Json(R"({"error": false, "messageSuccess": [{"message": "ok", "id_fatura": 101}]})"));
    sim.Responder("/financeiro/fatura/documento/boleto", Resposta::Json(R"({"sucess": true, "message": "ok"})"));
    sim.Responder("/financeiro/fatura/documento/nota-fiscal", Resposta::Json(R"({"sucess": true, "message": "ok"})"));
  }

  std::filesystem::path PastaBoletos() {
    return std::filesystem::path(Amb().Servidor()) / "Boleto" / "12345678000195" / "98765432000110";
  }

  std::vector<std::string> Caminhos() {
    std::vector<std::string> caminhos;
    for (const auto& req : sim.Requisicoes()) caminhos.push_back(req.caminho);
    return caminhos;
  }
};

// Its main paths, in every way the database is reached.
using TimerDosFluxosPorTopologia = EmCadaTopologia<TimerDosFluxos>;

TEST_P(TimerDosFluxosPorTopologia, RodaOsTresFluxosNaOrdem) {
  Iniciar(false, 7, std::nullopt, "10");
  RegistrarFluxos();
  PrepararOsTres({"1234"});

  dm->TimerTimer();

  EXPECT_EQ(Caminhos(), (std::vector<std::string>{"/financeiro/cliente/faturado",
                                                  "/financeiro/fatura/documento/boleto",
                                                  "/financeiro/fatura/documento/nota-fiscal"}));
  EXPECT_EQ(Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE NUMERO = 900"), "2");
  EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER WHERE NUMERO = 1234"), "Enviado");
  EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"), "Enviado");
  EXPECT_EQ(Amb().Log(), "");
  EXPECT_TRUE(dm->Timer.Enabled());
  EXPECT_EQ(dm->Timer.Interval(), 600000u);
}

TEST_F(TimerDosFluxos, ArquivoPresoPorOutroEscritorEncerraARodadaNaquelaLinha) {
  Iniciar(/*debug=*/true, 7, std::nullopt, "10");
  RegistrarFluxos();
  PrepararOsTres({"1234", "1235", "1236"});
  ArquivoAbertoEmOutroProcesso escritor((PastaBoletos() / "CM 1235-1.pdf").string(), O_WRONLY);
  ASSERT_TRUE(escritor.Aberto());

  EXPECT_THROW(dm->TimerTimer(), std::system_error);

  // The rows selected before the held one were uploaded; none after it, and
  // the service-invoice flow did not run.
  std::vector<std::string> ordem;
  for (const auto& m : MensagensDoLog(CaminhoLog()))
    if (m.starts_with("Número:     ")) ordem.push_back(m.substr(std::string("Número:     ").size()));
  ASSERT_EQ(ordem.size(), 3u);
  const auto preso = std::find(ordem.begin(), ordem.end(), "1235");
  ASSERT_NE(preso, ordem.end());
  std::vector<std::string> esperados = {"/financeiro/cliente/faturado"};
  std::vector<std::string> boletos_enviados;
  for (auto it = ordem.begin(); it != preso; ++it) {
    esperados.push_back("/financeiro/fatura/documento/boleto");
    boletos_enviados.push_back("CM " + *it + "-1.pdf");
  }
  EXPECT_EQ(Caminhos(), esperados);
  std::vector<std::string> nomes;
  for (const auto& req : sim.Requisicoes())
    if (req.caminho == "/financeiro/fatura/documento/boleto") nomes.push_back(NomeEnviado(req));
  EXPECT_EQ(nomes, boletos_enviados);
  EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"), "");
  EXPECT_TRUE(dm->Timer.Enabled()) << "the timer is enabled again after the error";
  EXPECT_EQ(dm->Timer.Interval(), 600000u);

  // The next run, with the writer gone, finishes the work.
  escritor.Soltar();
  dm->TimerTimer();
  EXPECT_EQ(Valor("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE NUMERO BETWEEN 1234 AND 1236 "
                  "AND STATUS_ENVIO_API = 'Enviado'"),
            "3");
  EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"), "Enviado");
  EXPECT_TRUE(dm->Timer.Enabled());
}

INSTANTIATE_TEST_SUITE_P(Topologia, TimerDosFluxosPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
