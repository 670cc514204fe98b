// A stop asked for while a long run goes on: the service stopped by its
// manager, and /ONCE told to stop with TERM or INT. The row in hand is
// finished, no new row is taken, and the next run sends what was left, each
// thing once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "tests/servico/apoio_processo.h"
#include "tests/support/simulador.h"

namespace {

namespace fs = std::filesystem;
using namespace lumiford::teste;
using namespace std::chrono_literals;

const char* const Exe = LUMIFORD_EXE;
constexpr int kBoletos = 4;

// Company 7 with four boletos of this month, one service invoice and, when
// asked, a billing request; nothing paid to report.
void Preparar(Instalacao& inst, const Simulador& sim, bool com_requisicao) {
  inst.Sql("INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
           "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES "
           "(7, 'Empresa Teste', '12.345.678/0001-95', 10, '2', 'http', '127.0.0.1:" + std::to_string(sim.Porta()) +
           "', 'tok-3e5b71', 3)");
  inst.Sql("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, TIPO_CLIENTE) VALUES (15, 'Padaria', '98.765.432/0001-10', '2')");
  for (int i = 0; i < kBoletos; ++i) {
    const std::string numero = std::to_string(1001 + i);
    inst.Sql("INSERT INTO MOV_CONTRATO_MANUTENCAO (EMPRESA, NUMERO, CLIENTE, ANO_REFERENCIA, MES_REFERENCIA, VALOR) "
             "VALUES (7, " + numero + ", 15, 2025, 'Maio', 150.50)");
    inst.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
             "VENCIMENTO, VALOR, SALDO, SERIE_NOTA_SERVICO, NUMERO_NOTA_SERVICO) VALUES (7, 'CM', 'CM', 15, " + numero +
             ", 1, 1, CURRENT_DATE, CURRENT_DATE + 10, 150.50, 150.50, 1, " + (i == 0 ? "457" : "NULL") + ")");
    Gravar(inst.Dados() / "Boleto" / "12345678000195" / "98765432000110" / ("CM " + numero + "-1.pdf"),
           "%PDF-1.4\n% boleto " + numero + "\n%%EOF\n");
  }
  inst.Sql("INSERT INTO MOV_NOTA_FISCAL_VENDA (EMPRESA, SERIE, NUMERO, CLIENTE, EMISSAO, VALOR_TOTAL, STATUS, "
           "IDENTIFICACAO_ARQUIVO_XML_NFE) VALUES (7, 1, 457, 15, CURRENT_DATE, 150.50, 'NFSE Autorizada', 'NFSe_457.xml')");
  Gravar(inst.Dados() / "NFSe" / "Empresa_007" / "NFSe_457.xml", kXmlEmpresa);
  if (com_requisicao)
    inst.Sql("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO) VALUES (7, 1, 'BUSCAR_FATURAMENTO_API')");
}

// Each upload accepted after a while, as a slow supplier does.
void AceitarDevagar(Simulador& sim) {
  Resposta boleto = Resposta::Json(R"({"sucess": true, "message": "Boleto recebido"})");
  boleto.atraso = 600ms;
  sim.Responder(kBoleto, boleto);
  sim.Responder(kNotaFiscal, Resposta::Json(R"({"sucess": true, "message": "XML recebido"})"));
  sim.Responder(kFaturamento, Resposta::Json(R"({"error":false,"data":[]})"));
}

// Sends the signal to the process from the simulator's thread once the
// supplier has read the n-th boleto, before it answers.
class SinalNaRequisicao {
 public:
  SinalNaRequisicao(Simulador& sim, int sinal, int vez) : estado_(std::make_shared<Estado>()) {
    estado_->sinal = sinal;
    estado_->vez = vez;
    sim.AoReceber([estado = estado_](const RequisicaoGravada& req) {
      std::lock_guard trava(estado->trava);
      if (req.caminho == kBoleto && ++estado->vistos == estado->vez && estado->processo) estado->processo->Sinal(estado->sinal);
    });
  }
  void Vigiar(Processo* processo) {
    std::lock_guard trava(estado_->trava);
    estado_->processo = processo;
  }
  void Soltar() { Vigiar(nullptr); }

 private:
  struct Estado {
    std::mutex trava;
    int sinal = 0, vez = 0, vistos = 0;
    Processo* processo = nullptr;
  };
  std::shared_ptr<Estado> estado_;
};

std::vector<std::string> Caminhos(const Simulador& sim) {
  std::vector<std::string> caminhos;
  for (const auto& req : sim.Requisicoes()) caminhos.push_back(req.caminho);
  return caminhos;
}

std::vector<std::string> Enviados(const Instalacao& inst) {
  std::vector<std::string> numeros;
  for (const auto& linha : inst.Consultar("SELECT NUMERO FROM MOV_CONTAS_RECEBER WHERE STATUS_ENVIO_API = 'Enviado' "
                                          "ORDER BY NUMERO"))
    numeros.push_back(linha[0]);
  return numeros;
}

struct Modo {
  const char* nome;
  std::vector<std::string> argumentos;  // empty: the service
  int sinal;
  int codigo;  // exit code once stopped
};

void PrintTo(const Modo& modo, std::ostream* saida) { *saida << modo.nome; }

class Parada : public ::testing::TestWithParam<Modo> {};

TEST_P(Parada, TheRowInHandEndsNoNewRowIsTakenAndTheNextRunSendsTheRestOnce) {
  const Modo& modo = GetParam();
  const bool servico = modo.argumentos.empty();
  Simulador sim;
  AceitarDevagar(sim);
  Instalacao inst(Exe);
  inst.Configurar("7", true, "");
  // In service mode the billing import may run first; here it shows that
  // /ONCE does not start it after the stop.
  Preparar(inst, sim, !servico);

  SinalNaRequisicao sinal(sim, modo.sinal, 2);
  auto processo = inst.Iniciar(modo.argumentos);
  sinal.Vigiar(processo.get());
  // The second boleto in hand is finished: its reply read and its mark
  // written; the two after it would take another 1.7 s.
  const auto codigo = processo->Esperar(15s);
  sinal.Soltar();
  ASSERT_TRUE(codigo.has_value()) << "did not end";
  EXPECT_EQ(*codigo, modo.codigo) << processo->Erros();

  EXPECT_EQ(Caminhos(sim), (std::vector<std::string>{kBoleto, kBoleto}));
  EXPECT_EQ(Enviados(inst), (std::vector<std::string>{"1001", "1002"}));
  EXPECT_EQ(inst.Valor("SELECT COALESCE(STATUS_ENVIO_API, '') FROM MOV_NOTA_FISCAL_VENDA WHERE NUMERO = 457"), "");
  const auto linhas = inst.Linhas();
  if (servico) {
    EXPECT_EQ(Contar(linhas, "Service - Stop"), 1u);
    EXPECT_EQ(processo->Erros(), "");
  } else {
    const std::string interrompida =
        "Execução interrompida por um pedido de parada. O que faltou fica para a próxima execução.";
    EXPECT_EQ(processo->Erros(), interrompida + "\n");
    EXPECT_EQ(Contar(linhas, interrompida), 1u);
    EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "1");
  }

  // The next run: the two boletos left, once each, then the rest of the work.
  const auto r = inst.Rodar({"/ONCE"});
  EXPECT_EQ(r.codigo, 0) << r.erros;
  std::vector<std::string> esperados{kBoleto, kBoleto, kBoleto, kBoleto, kNotaFiscal};
  if (!servico) esperados.push_back(kFaturamento);
  EXPECT_EQ(Caminhos(sim), esperados);
  EXPECT_EQ(Enviados(inst), (std::vector<std::string>{"1001", "1002", "1003", "1004"}));
  EXPECT_EQ(inst.Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA WHERE NUMERO = 457"), "Enviado");
  EXPECT_EQ(inst.Valor("SELECT COUNT(*) FROM MOV_REQUISICAO_SERVICO"), "0");
}

INSTANTIATE_TEST_SUITE_P(Modos, Parada,
                         ::testing::Values(Modo{"Servico", {}, SIGTERM, 0}, Modo{"UmaVezTerm", {"/ONCE"}, SIGTERM, 1},
                                           Modo{"UmaVezInt", {"/ONCE"}, SIGINT, 1}),
                         [](const ::testing::TestParamInfo<Modo>& info) { return std::string(info.param.nome); });

}  // namespace
