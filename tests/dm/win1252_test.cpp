// Conversion between UTF-8 inside the program and WIN1252 in the databases,
// and the fixed-point amount type.
#include <gtest/gtest.h>

#include <string>

#include "dm/banco.h"
#include "dm/win1252.h"

namespace {

using lumiford::win1252::DeUtf8;
using lumiford::win1252::ParaUtf8;

TEST(Win1252, TodosOsBytesVoltamIguais) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  EXPECT_EQ(DeUtf8(ParaUtf8(bytes)), bytes);
}

TEST(Win1252, CaracteresConhecidos) {
  struct Caso {
    std::string utf8;
    std::string win1252;
  };
  const Caso casos[] = {
      {"Março", "Mar\xE7o"},
      {"ção", "\xE7\xE3o"},
      {"São Paulo", "S\xE3o Paulo"},
      {"€", "\x80"},
      {"‰Œ™", "\x89\x8C\x99"},
      {"Ÿ", "\x9F"},
      {"\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", "\x81\x8D\x8F\x90\x9D"},  // the five bytes without a character
      {"ÿ", "\xFF"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(DeUtf8(c.utf8), c.win1252) << c.utf8;
    EXPECT_EQ(ParaUtf8(c.win1252), c.utf8) << c.utf8;
  }
}

TEST(Win1252, CaractereForaDaTabelaEhErro) {
  struct Caso {
    std::string texto;
    std::string mensagem;
  };
  const Caso casos[] = {
      {"ok \xF0\x9F\x98\x80", "Caractere não representável em WIN1252: U+1F600"},
      {"Ā", "Caractere não representável em WIN1252: U+0100"},
      {"\xC2\x80", "Caractere não representável em WIN1252: U+0080"},  // a C1 control WIN1252 puts € on
      {"→", "Caractere não representável em WIN1252: U+2192"},
  };
  for (const auto& c : casos) {
    try {
      DeUtf8(c.texto);
      ADD_FAILURE() << "sem erro para " << c.texto;
    } catch (const ErroBanco& e) {
      EXPECT_EQ(e.what(), c.mensagem);
    }
  }
}

TEST(Win1252, Utf8InvalidoEhErro) {
  const std::string casos[] = {
      "\x80",              // continuation without a lead byte
      "Mar\xE7o",          // WIN1252 bytes taken for UTF-8
      "\xC3",              // cut short
      "\xE2\x82",          // cut short
      "\xC0\x80",          // overlong
      "\xED\xA0\x80",      // surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xFF",
  };
  for (const auto& c : casos) EXPECT_THROW(DeUtf8(c), ErroBanco) << testing::PrintToString(c);
}

// The regional reading: the decimal comma, an exponent allowed.
TEST(Moeda, LeTextoComVirgulaDecimal) {
  struct Caso {
    const char* texto;
    std::int64_t dezmilesimos;
  };
  const Caso casos[] = {
      {"150,75", 1507500},   {" 5,5 ", 55000},     {"-0,5", -5000},       {"+2", 20000},
      {"0,0001", 1},         {",5", 5000},          {"7,", 70000},         {"0,00005", 0},
      {"0,00015", 2},        {"0,000151", 2},       {"1,23455", 12346},    {"0012", 120000},
      {"922337203685477,5807", 9223372036854775807LL},
      {"12345678901234,5678", 123456789012345678LL},
      {"1e3", 10000000},     {"1,5E2", 1500000},    {"2e-4", 2},           {"-1,5e+1", -150000},
      {"15e-5", 2},          {"1e-400", 0},         {"0e999999999999", 0}, {"0,0000000000001e17", 100000000},
  };
  for (const auto& c : casos) EXPECT_EQ(Moeda::DeTexto(c.texto).dezmilesimos, c.dezmilesimos) << c.texto;
}

TEST(Moeda, RecusaTextoQueNaoEhValor) {
  const char* casos[] = {"", " ", "abc", "1,2,3", "1.000,00", "150.75", "7.", "--1", "5,5%", "1 000",
                         "922337203685477,5808", "9999999999999999", "1e", "1e+", "e3", ",e3", "1e15", "1,5e2,1"};
  for (const char* c : casos) {
    try {
      Moeda::DeTexto(c);
      ADD_FAILURE() << "sem erro para '" << c << "'";
    } catch (const ErroBanco& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + c + "' is not a valid floating point value");
    }
  }
}

TEST(Moeda, ComoTextoSemZerosAFinal) {
  struct Caso {
    std::int64_t dezmilesimos;
    const char* texto;
  };
  const Caso casos[] = {{1505000, "150,5"}, {1500000, "150"},       {-5000, "-0,5"}, {1, "0,0001"},
                        {0, "0"},           {1507549, "150,7549"}, {-1500000, "-150"}};
  for (const auto& c : casos) EXPECT_EQ(Moeda{c.dezmilesimos}.ComoTexto(), c.texto);
}

}  // namespace
