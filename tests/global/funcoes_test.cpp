// Text, number and date helpers: pure functions, checked through tables.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "global/funcoes.h"

namespace {

using namespace std::chrono;

struct Par {
  std::string entrada;
  std::string saida;
};

TEST(Funcoes, SomenteNumeros) {
  const std::vector<Par> casos = {
      {"12.345.678/0001-95", "12345678000195"}, {"sem dígitos", ""}, {"", ""}, {"a1b2c3", "123"},
      {"٣ 3", "3"},  // only ASCII digits count
  };
  for (const auto& c : casos) EXPECT_EQ(SomenteNumeros(c.entrada), c.saida) << c.entrada;
}

TEST(Funcoes, FormatarCnpjCpf) {
  const std::vector<Par> casos = {
      {"12345678000195", "12.345.678/0001-95"},
      {"12.345.678/0001-95", "12.345.678/0001-95"},
      {"12345678901", "123.456.789-01"},
      {"123.456.789-01", "123.456.789-01"},
      // Neither 11 nor 14 digits: the digits themselves, one result per argument.
      {"1234567890", "1234567890"},
      {"123456789012", "123456789012"},
      {"12.3", "123"},
      {"", ""},
      {"sem número", ""},
  };
  for (const auto& c : casos) EXPECT_EQ(FormatarCnpjCpf(c.entrada), c.saida) << c.entrada;
}

TEST(Funcoes, FormatarCep) {
  const std::vector<Par> casos = {
      {"1310-100", "01.310-100"}, {"01310100", "01.310-100"}, {"123456789", "12.345-678"},
      {"", "00.000-000"},         {"CEP 5", "00.000-005"},
  };
  for (const auto& c : casos) EXPECT_EQ(FormatarCep(c.entrada), c.saida) << c.entrada;
}

TEST(Funcoes, TrocarPontoVirgula) {
  const std::vector<Par> casos = {
      {"1.234,56", "1,234.56"}, {"150.75", "150,75"}, {"150,75", "150.75"}, {"", ""}, {"R$ 10", "R$ 10"},
  };
  for (const auto& c : casos) EXPECT_EQ(TrocarPontoVirgula(c.entrada), c.saida) << c.entrada;
}

TEST(Funcoes, ZerosEsquerda) {
  struct Caso {
    std::string texto;
    int tamanho;
    std::string saida;
  };
  const std::vector<Caso> casos = {
      {"7", 3, "007"}, {"1234", 3, "1234"}, {"12", 2, "12"}, {"3", 2, "03"},
      {"", 3, "000"},  {"5", 0, "5"},       {"5", -1, "5"},  {"ç", 3, "00ç"},  // characters, not bytes
  };
  for (const auto& c : casos) EXPECT_EQ(ZerosEsquerda(c.texto, c.tamanho), c.saida) << c.texto << "/" << c.tamanho;
}

TEST(Funcoes, MonthNamesBothWays) {
  const std::vector<std::string> nomes = {"Janeiro", "Fevereiro", "Março",    "Abril",   "Maio",     "Junho",
                                          "Julho",   "Agosto",    "Setembro", "Outubro", "Novembro", "Dezembro"};
  for (int mes = 1; mes <= 12; ++mes) {
    EXPECT_EQ(NomeMes(mes), nomes[static_cast<std::size_t>(mes - 1)]);
    EXPECT_EQ(NumeroMes(nomes[static_cast<std::size_t>(mes - 1)]), mes);
  }
  for (int mes : {0, 13, -1, INT_MIN, INT_MAX}) EXPECT_EQ(NomeMes(mes), "") << mes;
  for (const char* nome : {"março", "Marco", "MARÇO", "", " Maio", "Maio ", "Dez"}) EXPECT_EQ(NumeroMes(nome), 0) << nome;
}

TEST(Funcoes, UltimoDiaMes) {
  struct Caso {
    DataHora entrada;
    DataHora saida;
  };
  const std::vector<Caso> casos = {
      {local_days{2024y / 2 / 15}, local_days{2024y / 2 / 29}},
      {local_days{2023y / 2 / 1}, local_days{2023y / 2 / 28}},
      {local_days{2023y / 1 / 31}, local_days{2023y / 1 / 31}},
      {local_days{2023y / 12 / 10} + 18h, local_days{2023y / 12 / 31} + 18h},
      {local_days{2023y / 4 / 30} + 23h + 59min + 59s + 999ms, local_days{2023y / 4 / 30} + 23h + 59min + 59s + 999ms},
      {local_days{1900y / 2 / 10}, local_days{1900y / 2 / 28}},
      {local_days{2000y / 2 / 1} + 1ms, local_days{2000y / 2 / 29} + 1ms},
  };
  for (const auto& c : casos)
    EXPECT_EQ(UltimoDiaMes(c.entrada), c.saida) << FormatarDataHora(c.entrada);
}

TEST(Funcoes, TextoParaInteiro) {
  struct Caso {
    std::string texto;
    std::int64_t valor;
  };
  const std::vector<Caso> validos = {
      {"0", 0}, {"42", 42}, {"-42", -42}, {"+42", 42}, {"007", 7},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
  };
  for (const auto& c : validos) EXPECT_EQ(TextoParaInteiro(c.texto), c.valor) << c.texto;

  for (const std::string texto : {"", "-", "+", " 1", "1 ", "1.0", "1,0", "0x10", "$10", "abc", "1e3",
                                  "9223372036854775808", "-9223372036854775809", "99999999999999999999", "--1"}) {
    try {
      TextoParaInteiro(texto);
      ADD_FAILURE() << "accepted '" << texto << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "'" + texto + "' is not a valid integer value");
    }
  }
}

TEST(Funcoes, Trim) {
  const std::vector<Par> casos = {
      {"  a b  ", "a b"}, {"\t\r\na\n", "a"}, {"", ""}, {"   ", ""}, {"\x01x\x1f", "x"}, {"ç ", "ç"},
  };
  for (const auto& c : casos) EXPECT_EQ(Trim(c.entrada), c.saida) << c.entrada;
}

// Every token_erp value of a text, as it stands in an address (its escapes
// read back), shows the token's first four characters when it is longer than
// eight, and nothing of a shorter one.
TEST(Funcoes, MascararToken) {
  const std::vector<Par> casos = {
      {"https://api/financeiro/cliente/faturado?token_erp=abcdef123456",
       "https://api/financeiro/cliente/faturado?token_erp=abcd****"},
      {"https://api/x?token_erp=abcdef123456&cnpj=98.765.432/0001-10&ano=2025",
       "https://api/x?token_erp=abcd****&cnpj=98.765.432/0001-10&ano=2025"},
      {"https://api/x?ano=2025&mes=2&token_erp=XYZW98765", "https://api/x?ano=2025&mes=2&token_erp=XYZW****"},
      {"https://api/x?ano=2025&mes=2&token_erp=XYZW9876", "https://api/x?ano=2025&mes=2&token_erp=****"},
      {"https://api/x?token_erp=ab", "https://api/x?token_erp=****"},
      {"https://api/x?token_erp=&cnpj=1", "https://api/x?token_erp=****&cnpj=1"},
      {"https://api/x?token_erp=çãõéxyzwq", "https://api/x?token_erp=çãõé****"},
      {"https://api/x?token_erp=abcdefghi#frag", "https://api/x?token_erp=abcd****#frag"},
      {"https://api/x?cnpj=1", "https://api/x?cnpj=1"},
      // Escapes are the token's own characters: counted and shown as stored.
      {"https://api/x?token_erp=to%2Fabcdefgh", "https://api/x?token_erp=to/a****"},
      {"https://api/x?token_erp=t%25%26%23abcdefgh&ano=1", "https://api/x?token_erp=t%&#****&ano=1"},
      {"https://api/x?token_erp=tok%267%23x", "https://api/x?token_erp=****"},
      {"https://api/x?token_erp=%C3%A7%C3%A3o-abcdef", "https://api/x?token_erp=ção-****"},
      {"https://api/x?token_erp=ab%2", "https://api/x?token_erp=****"},
      // Anywhere in a message, every occurrence, ending where an escaped value cannot go on.
      {"Endereço sem servidor: http://:99999/x?token_erp=segredo-7f3a9c",
       "Endereço sem servidor: http://:99999/x?token_erp=segr****"},
      {"rota /a?token_erp=segredo-7f3a9c não existe; /b?token_erp=outro-segredo\r\nfim",
       "rota /a?token_erp=segr**** não existe; /b?token_erp=outr****\r\nfim"},
      {"", ""},
  };
  for (const auto& c : casos) EXPECT_EQ(MascararToken(c.entrada), c.saida) << c.entrada;
}

}  // namespace
