// The main loop and its timers, run on the test's own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "plataforma/laco.h"
#include "plataforma/temporizador.h"

namespace {

using Relogio = std::chrono::steady_clock;
using std::chrono::milliseconds;

long DesdeMs(Relogio::time_point inicio) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Relogio::now() - inicio).count());
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

TEST(Temporizador, StartsDisabledWithOneSecond) {
  Temporizador t;
  EXPECT_FALSE(t.Enabled());
  EXPECT_EQ(t.Interval(), 1000u);
}

TEST(Temporizador, FiresEveryIntervalWhileEnabled) {
  Temporizador t;
  std::vector<long> disparos;
  const auto inicio = Relogio::now();
  t.OnTimer = [&] {
    disparos.push_back(DesdeMs(inicio));
    if (disparos.size() == 3) EncerrarLaco();
  };
  t.SetInterval(40);
  t.SetEnabled(true);
  Limite limite(5000);
  ExecutarLaco();
  ASSERT_EQ(disparos.size(), 3u);
  for (std::size_t i = 0; i < disparos.size(); ++i)
    EXPECT_GE(disparos[i], 40 * static_cast<long>(i + 1)) << "tick " << i;
}

// Timers that must never fire within the window.
struct CasoSilencio {
  const char* nome;
  std::uint32_t intervalo;
  bool habilitar;
  bool desabilitarDepois;
};

class TemporizadorSilencioso : public ::testing::TestWithParam<CasoSilencio> {};

TEST_P(TemporizadorSilencioso, NeverFires) {
  const auto& caso = GetParam();
  Temporizador t;
  int disparos = 0;
  t.OnTimer = [&] { ++disparos; };
  t.SetInterval(caso.intervalo);
  t.SetEnabled(caso.habilitar);
  if (caso.desabilitarDepois) t.SetEnabled(false);
  Limite limite(150);
  ExecutarLaco();
  EXPECT_EQ(disparos, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Casos, TemporizadorSilencioso,
    ::testing::Values(CasoSilencio{"IntervalZeroEnabled", 0, true, false},
                      CasoSilencio{"NeverEnabled", 10, false, false},
                      CasoSilencio{"DisabledBeforeDue", 10, true, true}),
    [](const auto& info) { return std::string(info.param.nome); });

// Changing the interval or the flag starts the count again from the change.
struct CasoReinicio {
  const char* nome;
  void (*mudar)(Temporizador&);
};

class TemporizadorReinicio : public ::testing::TestWithParam<CasoReinicio> {};

TEST_P(TemporizadorReinicio, CountRestartsAtTheChange) {
  Temporizador t;
  long disparo = -1;
  const auto inicio = Relogio::now();
  t.OnTimer = [&] {
    disparo = DesdeMs(inicio);
    EncerrarLaco();
  };
  t.SetInterval(200);
  t.SetEnabled(true);
  Temporizador mudanca;
  mudanca.OnTimer = [&] {
    mudanca.SetEnabled(false);
    GetParam().mudar(t);
  };
  mudanca.SetInterval(150);
  mudanca.SetEnabled(true);
  Limite limite(5000);
  ExecutarLaco();
  // Due at 200 ms without the change; 150 ms + 200 ms with it.
  EXPECT_GE(disparo, 340);
}

INSTANTIATE_TEST_SUITE_P(
    Casos, TemporizadorReinicio,
    ::testing::Values(
        CasoReinicio{"NewInterval", [](Temporizador& t) { t.SetInterval(201); }},
        CasoReinicio{"DisableEnable",
                     [](Temporizador& t) {
                       t.SetEnabled(false);
                       t.SetEnabled(true);
                     }}),
    [](const auto& info) { return std::string(info.param.nome); });

TEST(Temporizador, DestroyedWhileDueIsHarmless) {
  int disparos = 0;
  {
    Temporizador t;
    t.OnTimer = [&] { ++disparos; };
    t.SetInterval(1);
    t.SetEnabled(true);
    std::this_thread::sleep_for(milliseconds(20));  // due before the loop runs
  }
  Limite limite(100);
  ExecutarLaco();
  EXPECT_EQ(disparos, 0);
}

TEST(Laco, HandlerErrorGoesToEventLogAndLoopGoesOn) {
  Temporizador t;
  int disparos = 0;
  t.OnTimer = [&] {
    if (++disparos == 3) EncerrarLaco();
    if (disparos == 1) throw std::runtime_error("falha de teste no tratador");
    if (disparos == 2) throw AbortoSilencioso();
  };
  t.SetInterval(10);
  t.SetEnabled(true);
  Limite limite(5000);
  ::testing::internal::CaptureStderr();
  ExecutarLaco();
  const std::string erros = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(disparos, 3);
  EXPECT_NE(erros.find("falha de teste no tratador"), std::string::npos) << erros;
  EXPECT_EQ(erros.find("Operation aborted"), std::string::npos) << erros;
}

TEST(Laco, QuitFromAnotherThreadWaitsForTheRunningHandler) {
  Temporizador t;
  std::atomic<bool> emExecucao{false};
  bool terminou = false;
  int disparos = 0;
  t.OnTimer = [&] {
    ++disparos;
    emExecucao = true;
    std::this_thread::sleep_for(milliseconds(300));
    terminou = true;
  };
  t.SetInterval(10);
  t.SetEnabled(true);
  std::thread parada([&] {
    while (!emExecucao) std::this_thread::sleep_for(milliseconds(1));
    EncerrarLaco();
  });
  Limite limite(5000);
  ExecutarLaco();
  parada.join();
  EXPECT_TRUE(terminou);
  EXPECT_EQ(disparos, 1);
}

TEST(Laco, TimerDueDuringTheLastHandlerDoesNotRunAfterQuit) {
  Temporizador longo, outro;
  int disparosOutro = 0;
  longo.OnTimer = [&] {
    longo.SetEnabled(false);
    std::thread([] { EncerrarLaco(); }).join();
    std::this_thread::sleep_for(milliseconds(150));  // outro falls due meanwhile
  };
  outro.OnTimer = [&] { ++disparosOutro; };
  longo.SetInterval(10);
  outro.SetInterval(60);
  longo.SetEnabled(true);
  outro.SetEnabled(true);
  Limite limite(5000);
  ExecutarLaco();
  EXPECT_EQ(disparosOutro, 0);
}

TEST(Laco, QuitRequestedBeforeTheLoopRunsEndsItAtOnce) {
  EncerrarLaco();
  const auto inicio = Relogio::now();
  Limite limite(5000);
  ExecutarLaco();
  EXPECT_LT(DesdeMs(inicio), 4000);
}

}  // namespace
