// The two timers of the data module with a real database and flows of the
// tests' own, the main loop run on the test's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

#include "dm/agendador.h"
#include "dm/udm.h"
#include "global/uglobal.h"
#include "plataforma/laco.h"
#include "tests/support/banco_teste.h"

namespace {

using Relogio = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(IntervaloTimer, MinutesToMillisecondsHalfToEvenLow32Bits) {
  struct Caso {
    double minutos;
    std::uint32_t ms;
  };
  const Caso casos[] = {
      {10, 600000},
      {0.5, 30000},
      {1.00001, 60001},  // 60000.6
      {0, 0},
      {0.001, 60},
      {1.0 / 64, 938},       // 937.5: up to the even neighbour
      {3.0 / 64, 2812},      // 2812.5: down to the even neighbour
      {-1, 4294907296u},     // -60000 in 32 bits
      {71583, 12704},        // 4294980000 ms wraps past 2^32
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 0},
      {1e300, 0},
  };
  for (const auto& caso : casos) EXPECT_EQ(IntervaloEmMilissegundos(caso.minutos), caso.ms) << caso.minutos;
}

// Ends the loop after a limit, so that no test can hang.
struct Limite {
  explicit Limite(std::uint32_t ms) {
    timer.OnTimer = [] { EncerrarLaco(); };
    timer.SetInterval(ms);
    timer.SetEnabled(true);
  }
  Temporizador timer;
};

lumiford::teste::ConfiguracaoIni Ini() {
  lumiford::teste::ConfiguracaoIni ini;
  ini.empresa = "1";
  ini.debug = "";
  return ini;
}

class Agendador : public ::testing::Test {
 protected:
  // The company record: Timer's interval in minutes (empty: null) and the switch.
  void Criar(const std::string& intervalo, const std::string& integracao) {
    amb.Executar("INSERT INTO CAD_EMPRESA (CADASTRO, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO) "
                 "VALUES (1, " + (intervalo.empty() ? "NULL" : intervalo) + ", " +
                 (integracao.empty() ? "NULL" : "'" + integracao + "'") + ")");
    dm = std::make_unique<Tdm>();
    LigarTemporizadores(*dm);
  }
  void TearDown() override {
    dm.reset();
    FluxosTimer().clear();
    FluxosRequisicao().clear();
  }
  std::size_t ContarNoLog(const std::string& trecho) const {
    const std::string log = amb.Log();
    std::size_t n = 0;
    for (auto p = log.find(trecho); p != std::string::npos; p = log.find(trecho, p + 1)) ++n;
    return n;
  }
  lumiford::teste::AmbienteServico amb{Ini()};
};

TEST_F(Agendador, ErrorInAFlowSkipsTheRestAndTheTimerFiresAgain) {
  Criar("0.001", "2");
  int primeiro = 0, segundo = 0, terceiro = 0, requisicao = 0;
  FluxosTimer() = {
      [&] {
        if (++primeiro == 2) EncerrarLaco();
      },
      [&] {
        ++segundo;
        throw std::runtime_error("falha no segundo fluxo");
      },
      [&] { ++terceiro; },
  };
  FluxosRequisicao() = {[&] { ++requisicao; }};
  Limite limite(10000);
  ::testing::internal::CaptureStderr();
  ExecutarLaco();
  const std::string eventos = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(primeiro, 2);
  EXPECT_EQ(segundo, 2);
  EXPECT_EQ(terceiro, 0);
  EXPECT_EQ(requisicao, 1);  // the other timer is not affected
  std::size_t entradas = 0;
  for (auto p = eventos.find("falha no segundo fluxo"); p != std::string::npos;
       p = eventos.find("falha no segundo fluxo", p + 1))
    ++entradas;
  EXPECT_EQ(entradas, 2u) << eventos;
  EXPECT_TRUE(dm->Timer.Enabled());
  EXPECT_EQ(dm->Timer.Interval(), 60u);
  EXPECT_TRUE(dm->Timer_Requisicao.Enabled());
  EXPECT_EQ(dm->Timer_Requisicao.Interval(), 300000u);
}

TEST_F(Agendador, IntervalIsAPauseBetweenRunsNotARate) {
  Criar("0.001", "2");
  std::vector<Relogio::time_point> inicios;
  FluxosTimer() = {[&] {
    inicios.push_back(Relogio::now());
    std::this_thread::sleep_for(100ms);
    if (inicios.size() == 4) EncerrarLaco();
  }};
  Limite limite(10000);
  ExecutarLaco();
  ASSERT_EQ(inicios.size(), 4u);
  for (std::size_t i = 1; i < inicios.size(); ++i)
    EXPECT_GE(inicios[i] - inicios[i - 1], 160ms) << "run " << i;
}

TEST_F(Agendador, TheTwoHandlersNeverOverlap) {
  Criar("0.001", "2");
  bool ocupado = false;
  bool sobreposicao = false;
  int timer = 0, requisicao = 0;
  const auto fluxo = [&](int& contador) {
    return [&] {
      sobreposicao = sobreposicao || ocupado;
      ocupado = true;
      ++contador;
      std::this_thread::sleep_for(80ms);
      ocupado = false;
    };
  };
  // Both timers were armed together at 1000 ms.
  FluxosTimer() = {fluxo(timer), [&] {
                     if (timer == 4) EncerrarLaco();
                   }};
  FluxosRequisicao() = {fluxo(requisicao), fluxo(requisicao)};
  Limite limite(10000);
  ExecutarLaco();
  EXPECT_FALSE(sobreposicao);
  EXPECT_EQ(timer, 4);
  EXPECT_EQ(requisicao, 2);
}

// Whatever the switch says, the timers keep firing; flows run only on "2".
TEST_F(Agendador, SwitchOffRunsNoFlowButTheTimersGoOn) {
  for (const std::string integracao : {"1", "", "0"}) {
    SCOPED_TRACE("switch '" + integracao + "'");
    amb.Executar("DELETE FROM CAD_EMPRESA");
    Criar("0.001", integracao);
    int fluxos = 0;
    FluxosTimer() = {[&] { ++fluxos; }};
    FluxosRequisicao() = {[&] { ++fluxos; }};
    Limite limite(1300);
    ExecutarLaco();
    EXPECT_EQ(fluxos, 0);
    EXPECT_EQ(dm->Timer.Interval(), 60u);  // it has run
    EXPECT_TRUE(dm->Timer.Enabled());
    EXPECT_EQ(dm->Timer_Requisicao.Interval(), 300000u);
    dm.reset();
  }
}

TEST_F(Agendador, IntervalZeroRunsOnceAndThenNever) {
  Criar("", "2");
  int fluxos = 0;
  FluxosTimer() = {[&] { ++fluxos; }};
  Limite limite(1600);
  ExecutarLaco();
  EXPECT_EQ(fluxos, 1);
  EXPECT_TRUE(dm->Timer.Enabled());
  EXPECT_EQ(dm->Timer.Interval(), 0u);
}

TEST_F(Agendador, ConnectionLostWhileRunningIsReestablishedBeforeTheNextRun) {
  Criar("0.001", "2");
  const std::filesystem::path dados = amb.Bancos().dados;
  const std::filesystem::path fora = dados.string() + ".fora";
  int rodadas = 0;
  std::vector<bool> conectadoNoFluxo;
  Temporizador volta;  // brings the database back while runs keep failing
  volta.OnTimer = [&] {
    volta.SetEnabled(false);
    std::filesystem::rename(fora, dados);
  };
  std::vector<std::int64_t> lidos;
  FluxosTimer() = {[&] {
    ++rodadas;
    conectadoNoFluxo.push_back(dm->Firebird.Connected());
    // The shared query works on the new connection with the statement it
    // had prepared on the old one.
    dm->FBqraux1.Close();
    dm->FBqraux1.SetSQL("SELECT CADASTRO FROM CAD_EMPRESA");
    dm->FBqraux1.Open();
    lidos.push_back(dm->FBqraux1.FieldByName("CADASTRO").AsInteger());
    if (rodadas == 1) {
      // Lost, and back at once.
      dm->Firebird.Disconnect();
    } else if (rodadas == 2) {
      // Lost, and the database gone for a while.
      dm->Historico_Sistema.Disconnect();
      dm->Firebird.Disconnect();
      std::filesystem::rename(dados, fora);
      volta.SetInterval(400);
      volta.SetEnabled(true);
    } else if (rodadas == 3) {
      EncerrarLaco();
    }
  }};
  Limite limite(10000);
  ExecutarLaco();
  ASSERT_EQ(rodadas, 3);
  EXPECT_EQ(conectadoNoFluxo, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(lidos, (std::vector<std::int64_t>{1, 1, 1}));
  // The company record is still the snapshot read at start.
  EXPECT_EQ(dm->FBqrempresa.FieldByName("USA_INTEGRACAO_API_FINANCEIRO").AsString(), "2");
  EXPECT_EQ(ContarNoLog("Conexão com a Base de Dados restabelecida."), 2u) << amb.Log();
  // Several runs failed the same way while the file was away: one line.
  EXPECT_EQ(ContarNoLog("Erro ao conectar na Base de Dados:"), 1u) << amb.Log();
}

}  // namespace
