// Boleto upload end to end: the issue-date window, the selection, the request
// on the wire for each PDF found, the marks and the log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/api/fluxos_apoio.h"

namespace lumiford::teste {
namespace {

using namespace std::chrono_literals;

const char* const kCaminho = "/financeiro/fatura/documento/boleto";
const std::string kAceito = R"({"sucess": true, "message": "Boleto recebido"})";

class Boletos : public AmbienteFluxos {
 protected:
  // Folder of the client's boletos under the server directory.
  std::filesystem::path PastaCliente(const std::string& cnpj_digitos = "98765432000110") {
    return std::filesystem::path(Amb().Servidor()) / "Boleto" / "12345678000195" / cnpj_digitos;
  }
  // A receivable of client 10 with its PDF in place.
  void ComArquivo(Recebivel r, const std::string& dados = "%PDF-1.4") {
    Executar(r.Sql());
    CriarArquivo(PastaCliente() / ("CM " + r.numero + "-" + r.parcela + ".pdf"), dados);
  }
  // Numbers of the uploaded files since request index `desde`, as "numero-parcela".
  std::multiset<std::string> Enviados(std::size_t desde = 0) {
    std::multiset<std::string> nomes;
    const auto reqs = sim.Requisicoes();
    for (std::size_t i = desde; i < reqs.size(); ++i) {
      const std::string nome = NomeEnviado(reqs[i]);
      nomes.insert(nome.substr(3, nome.size() - 7));  // "CM " ... ".pdf"
    }
    return nomes;
  }
  std::map<std::string, std::string> Status() {
    std::map<std::string, std::string> status;
    for (const auto& l : Amb().Consultar("SELECT EMPRESA, NUMERO, PARCELA, STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER"))
      status[l[0] + "/" + l[1] + "-" + l[2]] = l[3];
    return status;
  }
};

// Its main paths, in every way the database is reached.
using BoletosPorTopologia = EmCadaTopologia<Boletos>;

TEST_P(BoletosPorTopologia, EnviaCadaArquivoComEnderecoECorpoExatosEMarca) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Contrato(1234, "2025", "'Março'");
  // Every byte value, line ends and a NUL: the file goes out unchanged.
  std::string dados = "%PDF-1.4\r\n";
  for (int i = 0; i < 256; ++i) dados += static_cast<char>(i);
  dados += "\n%%EOF";
  Recebivel primeira;
  ComArquivo(primeira, dados);
  Recebivel segunda;
  segunda.parcela = "2", segunda.vencimento = "'2025-04-10'";
  ComArquivo(segunda, "%PDF segunda");
  sim.Responder(kCaminho, Resposta::Json(kAceito));

  EnviarBoletos();

  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(Enviados(), (std::multiset<std::string>{"1234-1", "1234-2"}));
  const auto& req = NomeEnviado(reqs[0]) == "CM 1234-1.pdf" ? reqs[0] : reqs[1];
  const std::string corpo = CorpoArquivo(BoundaryFixo(), "CM 1234-1.pdf", dados);
  EXPECT_EQ(corpo.size(), 196 + std::string("CM 1234-1.pdf").size() + dados.size());
  EXPECT_EQ(req.bruto, CabecaPost(std::string(kCaminho) + "?token_erp=" + kToken +
                                      "&cnpj=98.765.432/0001-10&ano=2025&mes=3&parcela=1&valor=1500.00"
                                      "&data_vencimento=10/03/2025",
                                  "multipart/form-data; boundary=" + BoundaryFixo(), corpo.size(), sim) +
                           corpo);
  const auto& outra = &req == &reqs[0] ? reqs[1] : reqs[0];
  EXPECT_EQ(Alvo(outra), std::string(kCaminho) + "?token_erp=" + kToken +
                             "&cnpj=98.765.432/0001-10&ano=2025&mes=3&parcela=2&valor=1500.00&data_vencimento=10/04/2025");
  EXPECT_NE(reqs[0].conexao, reqs[1].conexao) << "every upload on a fresh connection";

  // Nothing is logged outside debug mode when every file is there and accepted.
  EXPECT_EQ(Amb().Log(), "");
  EXPECT_EQ(Status(), (std::map<std::string, std::string>{{"7/1234-1", "Enviado"}, {"7/1234-2", "Enviado"}}));
}

TEST_P(BoletosPorTopologia, CelulasDoRegistroNoEnderecoENoLogDeDebug) {
  Iniciar(/*debug=*/true);
  // A column with four decimals, as some ERP databases keep the amount.
  Executar("ALTER TABLE MOV_CONTAS_RECEBER ALTER COLUMN VALOR TYPE NUMERIC(18,4)");
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Contrato(2001, "2025", "'Março'");
  Contrato(2002, "2024", "'Dezembro'");
  Contrato(2004, "2025", "'Marco'");
  Contrato(2005, "NULL", "NULL");
  struct Caso {
    std::string numero, valor, vencimento;
    std::string consulta;  // the parameters after the token
    Linhas linhas;         // cells 8 to 11 as the debug lines show them
  };
  const Caso casos[] = {
      {"2001", "1500", "'2025-03-10 14:30:00'", "&ano=2025&mes=3&parcela=1&valor=1500.00&data_vencimento=10/03/2025",
       {"2025", "3", "1500.00", "10/03/2025"}},
      {"2002", "1234567.8", "NULL", "&ano=2024&mes=12&parcela=1&valor=1234567.80&data_vencimento=",
       {"2024", "12", "1234567.80", ""}},
      {"2003", "NULL", "'2025-12-31'", "&ano=&mes=0&parcela=1&valor=0.00&data_vencimento=31/12/2025",
       {"", "0", "0.00", "31/12/2025"}},
      {"2004", "1500.005", "'2025-03-01'", "&ano=2025&mes=0&parcela=1&valor=1500.01&data_vencimento=01/03/2025",
       {"2025", "0", "1500.01", "01/03/2025"}},
      {"2005", "0.0049", "'2025-03-02'", "&ano=&mes=0&parcela=1&valor=0.00&data_vencimento=02/03/2025",
       {"", "0", "0.00", "02/03/2025"}},
  };
  for (const auto& caso : casos) {
    Recebivel r;
    r.numero = caso.numero, r.valor = caso.valor, r.vencimento = caso.vencimento;
    ComArquivo(r);
  }
  sim.Responder(kCaminho, Resposta::Json(kAceito));

  EnviarBoletos();

  // Rows come in the database's order: find each one's block of lines.
  const Linhas log = Mensagens();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "Enviando os Boletos para a API.");
  const auto reqs = sim.Requisicoes();
  ASSERT_EQ(reqs.size(), std::size(casos));
  std::vector<std::string> ordem;  // numbers in the order selected
  for (std::size_t i = 0; i < std::size(casos); ++i) {
    ASSERT_GE(log.size(), 1 + 12 * (i + 1));
    ordem.push_back(log[1 + 12 * i + 4].substr(std::string("Número:     ").size()));
  }
  const std::string base = sim.Base() + kCaminho + "?token_erp=tok-****&cnpj=98.765.432/0001-10";
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.numero);
    const auto pos = std::find(ordem.begin(), ordem.end(), caso.numero);
    ASSERT_NE(pos, ordem.end());
    const std::size_t i = static_cast<std::size_t>(pos - ordem.begin());
    const Linhas bloco(log.begin() + 1 + 12 * static_cast<long>(i), log.begin() + 1 + 12 * static_cast<long>(i + 1));
    EXPECT_EQ(bloco, (Linhas{"Empresa:    7", "Caixa:      CM", "Documento:  CM", "Cliente:    10",
                             "Número:     " + caso.numero, "Serie:      1", "Parcela:    1",
                             "CNPJ:       98.765.432/0001-10", "Ano:        " + caso.linhas[0],
                             "Mês:        " + caso.linhas[1], "Valor:      " + caso.linhas[2],
                             "Vencimento: " + caso.linhas[3]}));
    // The upload loop follows the selection: Seq, address, file, reply, per row in the same order.
    const std::size_t inicio = 1 + 12 * std::size(casos) + 4 * i;
    ASSERT_GE(log.size(), inicio + 4);
    const std::string arquivo = (PastaCliente() / ("CM " + caso.numero + "-1.pdf")).string();
    EXPECT_EQ(Linhas(log.begin() + static_cast<long>(inicio), log.begin() + static_cast<long>(inicio + 4)),
              (Linhas{"Seq:      " + std::to_string(i), "Endereço: " + base + caso.consulta, "Arquivo:  " + arquivo,
                      kAceito}));
    EXPECT_EQ(Alvo(reqs[i]), std::string(kCaminho) + "?token_erp=" + kToken + "&cnpj=98.765.432/0001-10" + caso.consulta);
    EXPECT_EQ(NomeEnviado(reqs[i]), "CM " + caso.numero + "-1.pdf");
  }
  EXPECT_EQ(log.size(), 1 + 16 * std::size(casos));
}

TEST_F(Boletos, JanelaDoMesAnteriorAoFimDoMesCorrente) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  const std::pair<const char*, const char*> emissoes[] = {
      {"3001", "'2024-11-30'"}, {"3002", "'2024-12-01'"}, {"3003", "'2025-01-31'"}, {"3004", "'2025-02-01'"},
      {"3005", "'2025-03-31'"}, {"3006", "'2025-04-01'"}, {"3007", "'2025-01-15'"}, {"3008", "'2025-02-28'"},
  };
  for (const auto& [numero, emissao] : emissoes) {
    Recebivel r;
    r.numero = numero, r.emissao = emissao;
    ComArquivo(r);
  }
  // Refused: nothing gets marked, so each run sees the whole window again.
  sim.Responder(kCaminho, Resposta::Json(R"({"sucess": false, "message": "recusado"})"));
  const struct {
    DataHora hoje;
    std::multiset<std::string> enviados;
  } casos[] = {
      {Momento(2025, 3, 15), {"3004-1", "3005-1", "3008-1"}},
      {Momento(2025, 3, 1, 0, 0, 0), {"3004-1", "3005-1", "3008-1"}},
      {Momento(2025, 3, 31, 23, 59, 59), {"3004-1", "3005-1", "3008-1"}},
      {Momento(2025, 1, 10), {"3002-1", "3003-1", "3007-1"}},
      {Momento(2025, 1, 31, 23, 59, 59), {"3002-1", "3003-1", "3007-1"}},
      {Momento(2025, 2, 1), {"3003-1", "3004-1", "3007-1", "3008-1"}},
  };
  for (const auto& caso : casos) {
    SCOPED_TRACE(FormatarDataHora(caso.hoje));
    FixarRelogio(caso.hoje);
    const std::size_t antes = sim.Requisicoes().size();
    LimparLog();

    EnviarBoletos();

    EXPECT_EQ(Enviados(antes), caso.enviados);
    EXPECT_EQ(Mensagens(), Linhas(caso.enviados.size(), "Erro ao enviar arquivo. recusado"));
  }
}

TEST_F(Boletos, SelecionaSoOsRecebiveisPendentesComCnpjDoCliente) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Pessoa(11, "'   '");
  Pessoa(12, "NULL");
  Pessoa(13, "'123.456.789-09'");
  const auto inserir = [&](const std::string& numero, auto&& ajustar) {
    Recebivel r;
    r.numero = numero;
    ajustar(r);
    Executar(r.Sql());
  };
  inserir("4001", [](Recebivel&) {});
  inserir("4002", [](Recebivel& r) { r.status_envio = "'Pendente'"; });
  inserir("4003", [](Recebivel& r) { r.status_envio = "'Enviado'"; });
  inserir("4004", [](Recebivel& r) { r.status_envio = "'enviado'"; });
  inserir("4005", [](Recebivel& r) { r.caixa = "'XX'"; });  // any cash register
  inserir("4006", [](Recebivel& r) { r.documento = "'NF'"; });
  inserir("4007", [](Recebivel& r) { r.empresa = "8"; });
  inserir("4008", [](Recebivel& r) { r.cliente = "11"; });  // blank CNPJ
  inserir("4009", [](Recebivel& r) { r.cliente = "12"; });  // null CNPJ
  inserir("4010", [](Recebivel& r) { r.cliente = "99"; });  // no person
  inserir("4011", [](Recebivel& r) { r.cliente = "13"; });  // a CPF
  for (const char* numero : {"4001", "4002", "4003", "4004", "4005", "4006", "4007"})
    CriarArquivo(PastaCliente() / (std::string("CM ") + numero + "-1.pdf"), "%PDF");
  CriarArquivo(PastaCliente("12345678909") / "CM 4011-1.pdf", "%PDF");
  sim.Responder(kCaminho, Resposta::Json(kAceito));

  EnviarBoletos();

  EXPECT_EQ(Enviados(), (std::multiset<std::string>{"4001-1", "4002-1", "4004-1", "4005-1", "4011-1"}));
  for (const auto& req : sim.Requisicoes())
    if (NomeEnviado(req) == "CM 4011-1.pdf") {
      EXPECT_NE(Alvo(req).find("&cnpj=123.456.789-09&"), std::string::npos);
    }
  // Clients without a tax number are left out without a word.
  EXPECT_EQ(Amb().Log(), "");
  const auto status = Status();
  for (const char* chave : {"7/4001-1", "7/4002-1", "7/4003-1", "7/4004-1", "7/4005-1", "7/4011-1"})
    EXPECT_EQ(status.at(chave), "Enviado") << chave;
  for (const char* chave : {"7/4008-1", "7/4009-1", "7/4010-1", "8/4007-1"}) EXPECT_EQ(status.at(chave), "") << chave;
  EXPECT_EQ(status.at("7/4006-1"), "");
}

struct CasoEnvio {
  const char* nome;
  std::optional<Resposta> resposta;  // empty: the file is missing
  Linhas log;                        // "<arquivo>" stands for the file's path
  bool marcado;
};

TEST_F(Boletos, RespostasArquivosFaltandoEFalhasDeEnvio) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Recebivel r;
  Executar(r.Sql());
  const std::string arquivo = (PastaCliente() / "CM 1234-1.pdf").string();
  const Linhas ilegivel = {"Erro ao ler a resposta da API."};
  const CasoEnvio casos[] = {
      {"aceito", Resposta::Json(kAceito), {}, true},
      {"aceito com sucess em texto", Resposta::Json(R"({"sucess": "true", "message": ""})"), {}, true},
      {"sem message", Resposta::Json(R"({"sucess": true})"), ilegivel, false},
      {"recusado", Resposta::Json(R"({"sucess": false, "message": "CNPJ não confere"})"),
       {"Erro ao enviar arquivo. CNPJ não confere"}, false},
      {"sucess que nao e logico", Resposta::Json(R"({"sucess": "talvez", "message": "x"})"), ilegivel, false},
      {"sucess nulo", Resposta::Json(R"({"sucess": null, "message": "x"})"), ilegivel, false},
      {"nao e JSON", Resposta::Json("<html>ok</html>"), ilegivel, false},
      {"vazia", Resposta::Json(""), ilegivel, false},
      {"status 500", Resposta::Status(500, "Internal Server Error", "falha interna"),
       {"Erro.: falha interna", "Erro ao ler a resposta da API."}, false},
      {"conexao derrubada", Resposta::ComFalha(Resposta::Falha::SemResposta),
       {"Erro Desconhecido.", "Erro ao ler a resposta da API."}, false},
      {"arquivo faltando", std::nullopt, {"Arquivo não encontrado: " + arquivo}, false},
  };
  std::size_t enviadas = 0;
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Executar("UPDATE MOV_CONTAS_RECEBER SET STATUS_ENVIO_API = NULL");
    LimparLog();
    std::filesystem::remove(arquivo);
    if (caso.resposta) {
      CriarArquivo(arquivo, "%PDF");
      sim.ResponderPadrao(*caso.resposta);
      ++enviadas;
    }

    EnviarBoletos();

    EXPECT_EQ(sim.Requisicoes().size(), enviadas);
    EXPECT_EQ(Mensagens(), caso.log);
    EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_CONTAS_RECEBER"), caso.marcado ? "Enviado" : "");
  }
}

TEST_F(Boletos, PausaDepoisDeCadaEnvioENaoDepoisDeArquivoFaltando) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  for (const char* numero : {"5001", "5002"}) {
    Recebivel r;
    r.numero = numero;
    ComArquivo(r);
  }
  for (const char* numero : {"5003", "5004", "5005"}) {
    Recebivel r;
    r.numero = numero;
    Executar(r.Sql());
  }
  sim.Responder(kCaminho, Resposta::Json(kAceito));
  using Relogio = std::chrono::steady_clock;
  std::vector<Relogio::time_point> chegadas;
  std::mutex trava;
  sim.AoReceber([&](const RequisicaoGravada&) {
    std::lock_guard lock(trava);
    chegadas.push_back(Relogio::now());
  });
  const auto pausa = 1000ms;
  DefinirPausaAposPost(pausa);

  const auto inicio = Relogio::now();
  EnviarBoletos();
  const auto fim = Relogio::now();

  std::lock_guard lock(trava);
  ASSERT_EQ(chegadas.size(), 2u);
  // After each request the flow waits before anything else...
  EXPECT_GE(chegadas[1] - chegadas[0], pausa);
  EXPECT_GE(fim - chegadas[1], pausa);
  // ...and the three missing files cost no pause: three more would take 3 s.
  EXPECT_LT(fim - inicio, 2 * pausa + pausa);
  const Linhas log = Mensagens();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& m) { return m.starts_with("Arquivo não encontrado: "); }),
            3);
}

INSTANTIATE_TEST_SUITE_P(Topologia, BoletosPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
