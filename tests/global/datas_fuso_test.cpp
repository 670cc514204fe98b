// The local clock of the POSIX platform follows the TZ variable.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "global/datas.h"
#include "plataforma/relogio.h"

namespace {

using namespace std::chrono;

// The platform clock is the local wall clock of the process's time zone.
TEST(Datas, LocalClockFollowsTheTimeZone) {
  const char* anterior = std::getenv("TZ");
  const std::string guardado = anterior ? anterior : "";
  const auto medir = [](const char* zona) {
    ::setenv("TZ", zona, 1);
    ::tzset();
    const auto utc = floor<milliseconds>(system_clock::now());
    const DataHora local = RelogioLocal();
    return local.time_since_epoch() - utc.time_since_epoch();
  };
  const auto tolerancia = 5s;
  EXPECT_LT(abs(medir("UTC0") - 0h), tolerancia);
  EXPECT_LT(abs(medir("<-03>3") - (-3h)), tolerancia);
  EXPECT_LT(abs(medir("<+0530>-5:30") - (5h + 30min)), tolerancia);
  if (anterior)
    ::setenv("TZ", guardado.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
