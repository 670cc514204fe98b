// The Firebird server stopped and started again under the running service,
// while it idles between runs and in the middle of a run: the failure is
// logged once, the connection is tried again every interval of the retry,
// the return is logged once it is really back, and the next run completes
// with nothing lost and nothing written twice.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/servico/apoio_processo.h"
#include "tests/support/servidor_firebird.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;

const char* const kExe = LUMIFORD_EXE;
const char* const kFalha = "Erro ao conectar na Base de Dados:";
const char* const kVolta = "Conexão com a Base de Dados restabelecida.";

// The failure line carries the database's text after a CR, which becomes a
// line end only when the next line is written: counted by its start.
std::size_t Falhas(const std::vector<std::string>& linhas) {
  std::size_t n = 0;
  for (const auto& l : linhas) n += l.rfind(kFalha, 0) == 0;
  return n;
}
long PrimeiraFalha(const std::vector<std::string>& linhas) {
  for (std::size_t i = 0; i < linhas.size(); ++i)
    if (linhas[i].rfind(kFalha, 0) == 0) return static_cast<long>(i);
  return -1;
}

std::string Aceitas(std::initializer_list<int> ids) {
  std::string itens;
  for (int id : ids)
    itens += std::string(itens.empty() ? "" : ", ") + R"({"message": "Registro recebido", "id_fatura": )" +
             std::to_string(id) + "}";
  return R"({"error": false, "messageSuccess": [)" + itens + R"(], "messageError": []})";
}

class ServidorBanco : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.Configurar("7");
    // Timer every 0.6 s.
    PrepararEmpresaComTrabalho(inst_, "http", "127.0.0.1:" + std::to_string(sim_.Porta()), "0.01", "2",
                               "tok-1b2c3d4e");
    sim_.Responder(kBoleto, Resposta::Json(R"({"sucess": true, "message": "ok"})"));
    sim_.Responder(kNotaFiscal, Resposta::Json(R"({"sucess": true, "message": "ok"})"));
  }
  void TearDown() override {
    if (servico_) {
      servico_->Sinal(SIGTERM);
      EXPECT_EQ(servico_->Esperar(), 0);
    }
  }
  void Iniciar() { servico_ = inst_.Iniciar({}, {"LUMIFORD_RECONEXAO_MS=300"}); }
  std::size_t Relatorios() const {
    std::size_t n = 0;
    for (const auto& r : sim_.Requisicoes()) n += r.caminho == kFaturado;
    return n;
  }
  std::string Marca(int id) const {
    return inst_.Valor("SELECT FATURA_ENVIADA FROM MOV_CONTAS_RECEBER WHERE ID_FATURA = " + std::to_string(id));
  }
  void Pagar(int id, int numero) {
    inst_.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
              "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA) VALUES (7, 'CM', 'CM', 15, " +
              std::to_string(numero) + ", 1, 1, CURRENT_DATE, CURRENT_DATE, 10, 0, " + std::to_string(id) + ", '1')");
  }

  Simulador sim_;
  Instalacao inst_{kExe, "servico", Topologia::ServidorCaminhoSimples};
  std::unique_ptr<Processo> servico_;
};

TEST_F(ServidorBanco, StoppedWhileIdleIsLoggedOnceAndTheNextRunCompletes) {
  sim_.Responder(kFaturado, Resposta::Json(Aceitas({501, 502})));
  Iniciar();
  ASSERT_TRUE(Aguardar([&] { return Marca(501) == "2"; })) << servico_->Erros();
  ASSERT_TRUE(Aguardar([&] { return Contar(inst_.Linhas(), "Service - Start") == 1; }));
  Pagar(502, 1002);  // paid while the server is about to go away

  inst_.ServidorBanco()->Parar();
  ASSERT_TRUE(Aguardar([&] { return Falhas(inst_.Linhas()) == 1; })) << servico_->Erros() << ::testing::PrintToString(inst_.Linhas());
  std::this_thread::sleep_for(2s);  // runs and retries, all failing the same way
  EXPECT_EQ(Falhas(inst_.Linhas()), 1u);
  EXPECT_EQ(Contar(inst_.Linhas(), kVolta), 0u);

  inst_.ServidorBanco()->Iniciar();
  ASSERT_TRUE(Aguardar([&] { return Marca(502) == "2"; })) << servico_->Erros();
  // 502 may have been marked before the server went: then its mark reads
  // back before the service has found the server again.
  ASSERT_TRUE(Aguardar([&] { return Contar(inst_.Linhas(), kVolta) >= 1; }))
      << ::testing::PrintToString(inst_.Linhas());
  const auto linhas = inst_.Linhas();
  EXPECT_EQ(Contar(linhas, kVolta), 1u);
  EXPECT_LT(PrimeiraFalha(linhas), Posicao(linhas, kVolta));
  EXPECT_EQ(Marca(501), "2");
  // 502 was reported once, whether before the server went or after it came back.
  std::size_t com_502 = 0;
  for (const auto& r : sim_.Requisicoes()) com_502 += r.corpo.find("502") != std::string::npos;
  EXPECT_EQ(com_502, 1u);
}

TEST_F(ServidorBanco, StoppedInTheMiddleOfARunLosesNothing) {
  // The report waits for its reply while the server goes away: its mark
  // cannot be written, and the invoice is reported again once it is back.
  Resposta lenta = Resposta::Json(Aceitas({501}));
  lenta.atraso = 2s;
  sim_.Responder(kFaturado, lenta);
  sim_.Responder(kFaturado, Resposta::Json(Aceitas({501})));
  bool parou = false;
  sim_.AoReceber([&](const RequisicaoGravada& r) {
    if (r.caminho == kFaturado && !parou) {
      parou = true;
      inst_.ServidorBanco()->Matar();
    }
  });
  Iniciar();
  ASSERT_TRUE(Aguardar([&] { return Falhas(inst_.Linhas()) == 1; }, 30s)) << servico_->Erros() << ::testing::PrintToString(inst_.Linhas());
  EXPECT_EQ(Posicao(inst_.Linhas(), "Erro ao ler a resposta da API."), PrimeiraFalha(inst_.Linhas()) - 2)
      << "the failed mark, its reason, then the connection's failure";
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(Falhas(inst_.Linhas()), 1u);

  inst_.ServidorBanco()->Iniciar();
  ASSERT_TRUE(Aguardar([&] { return Marca(501) == "2"; }, 30s)) << servico_->Erros();
  EXPECT_EQ(Contar(inst_.Linhas(), kVolta), 1u);
  EXPECT_EQ(Relatorios(), 2u) << "once before the stop, once after";
  // The run after the return goes on to the upload, which is made once.
  EXPECT_TRUE(Aguardar([&] {
    return inst_.Valor("SELECT COUNT(*) FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado'") == "1";
  }));
  std::size_t boletos = 0;
  for (const auto& r : sim_.Requisicoes()) boletos += r.caminho == kBoleto;
  EXPECT_EQ(boletos, 1u);
}

}  // namespace
}  // namespace lumiford::teste
