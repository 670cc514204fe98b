// Brazilian date and time formats and the replaceable clock.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "global/datas.h"

namespace {

using namespace std::chrono;

TEST(Datas, Formats) {
  struct Caso {
    DataHora valor;
    std::string data, hora, data_hora;
  };
  const std::vector<Caso> casos = {
      {local_days{2026y / 12 / 9} + 14h + 5min + 9s + 999ms, "09/12/2026", "14:05:09", "09/12/2026 14:05:09"},
      {local_days{2024y / 2 / 29}, "29/02/2024", "00:00:00", "29/02/2024"},
      {local_days{2024y / 2 / 29} + 1ms, "29/02/2024", "00:00:00", "29/02/2024 00:00:00"},
      {local_days{1899y / 12 / 30} + 23h + 59min + 59s, "30/12/1899", "23:59:59", "30/12/1899 23:59:59"},
      {local_days{987y / 1 / 2} + 1h, "02/01/0987", "01:00:00", "02/01/0987 01:00:00"},
  };
  // The host's locale plays no part.
  std::setlocale(LC_ALL, "C.UTF-8");
  for (const auto& c : casos) {
    EXPECT_EQ(FormatarData(DataDe(c.valor)), c.data);
    EXPECT_EQ(FormatarHora(c.valor), c.hora);
    EXPECT_EQ(FormatarDataHora(c.valor), c.data_hora);
  }
  std::setlocale(LC_ALL, "C");
}

TEST(Datas, LerData) {
  struct Caso {
    std::string texto;
    std::optional<Data> data;
  };
  const std::vector<Caso> casos = {
      {"09/12/2026", 2026y / 12 / 9}, {"9/1/2026", 2026y / 1 / 9},   {"29/02/2024", 2024y / 2 / 29},
      {"31/12/9999", 9999y / 12 / 31},
      {"29/02/2023", std::nullopt},   {"31/04/2024", std::nullopt},  {"00/01/2024", std::nullopt},
      {"01/13/2024", std::nullopt},   {"01/01/24", std::nullopt},    {"01/01/20245", std::nullopt},
      {"001/01/2024", std::nullopt},  {"01-01-2024", std::nullopt},  {" 01/01/2024", std::nullopt},
      {"01/01/2024 ", std::nullopt},  {"", std::nullopt},            {"//", std::nullopt},
      {"01/01/0000", std::nullopt},   {"2024-01-01", std::nullopt},
  };
  for (const auto& c : casos) EXPECT_EQ(LerData(c.texto), c.data) << c.texto;
}

TEST(Datas, DayAndStartOfDay) {
  const DataHora valor = local_days{2024y / 3 / 1} + 10h;
  EXPECT_EQ(DataDe(valor), 2024y / 3 / 1);
  EXPECT_EQ(InicioDoDia(2024y / 3 / 1), DataHora{local_days{2024y / 3 / 1}});
  EXPECT_EQ(DataDe(local_days{1899y / 12 / 30} + 1h), 1899y / 12 / 30);  // before 1970 too
}

TEST(Datas, ClockCanBeReplacedAndRestored) {
  const DataHora fixo = local_days{2020y / 5 / 17} + 8h;
  DefinirRelogio([&] { return fixo; });
  EXPECT_EQ(Agora(), fixo);
  DefinirRelogio({});
  EXPECT_GT(Agora(), DataHora{local_days{2024y / 1 / 1}});
}

}  // namespace
