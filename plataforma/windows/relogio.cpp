#include "plataforma/relogio.h"

#include <windows.h>

DataHora RelogioLocal() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  using namespace std::chrono;
  const year_month_day dia{year{local.wYear}, month{local.wMonth}, std::chrono::day{local.wDay}};
  return local_days{dia} + hours{local.wHour} + minutes{local.wMinute} + seconds{local.wSecond} +
         milliseconds{local.wMilliseconds};
}
