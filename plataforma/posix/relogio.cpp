#include "plataforma/relogio.h"

#include <system_error>

#include <cerrno>
#include <ctime>

DataHora RelogioLocal() {
  timespec agora{};
  if (::clock_gettime(CLOCK_REALTIME, &agora) != 0)
    throw std::system_error(errno, std::generic_category(), "clock_gettime");
  tm local{};
  if (::localtime_r(&agora.tv_sec, &local) == nullptr)
    throw std::system_error(errno, std::generic_category(), "localtime_r");

  using namespace std::chrono;
  const year_month_day dia{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                           std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
  // A leap second (tm_sec 60) is folded into the last second of the minute.
  const int segundo = local.tm_sec > 59 ? 59 : local.tm_sec;
  return local_days{dia} + hours{local.tm_hour} + minutes{local.tm_min} + seconds{segundo} +
         milliseconds{agora.tv_nsec / 1000000};
}
