// Service-invoice upload end to end: which invoices are selected, the request
// for each XML found, the company's folder, the marks and the log lines.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "tests/api/fluxos_apoio.h"

namespace lumiford::teste {
namespace {

const char* const kCaminho = "/financeiro/fatura/documento/nota-fiscal";
const std::string kAceito = R"({"sucess": true, "message": "XML recebido"})";

class NotasServico : public AmbienteFluxos {
 protected:
  void Nota(int serie, int numero, const std::string& status, const std::string& status_envio,
            const std::string& arquivo, int empresa = 7) {
    Executar("INSERT INTO MOV_NOTA_FISCAL_VENDA (EMPRESA, SERIE, NUMERO, STATUS, STATUS_ENVIO_API, "
             "IDENTIFICACAO_ARQUIVO_XML_NFE) VALUES (" + std::to_string(empresa) + ", " + std::to_string(serie) +
             ", " + std::to_string(numero) + ", " + status + ", " + status_envio + ", '" + arquivo + "')");
  }
  // A receivable of the window pointing at the invoice.
  void Recebe(const std::string& cliente, const std::string& numero, const std::string& parcela,
              const std::string& serie_nota, const std::string& numero_nota, const std::string& empresa = "7",
              const std::string& emissao = "'2025-03-05'") {
    Recebivel r;
    r.empresa = empresa, r.cliente = cliente, r.numero = numero, r.parcela = parcela;
    r.serie_nota = serie_nota, r.numero_nota = numero_nota, r.emissao = emissao;
    Executar(r.Sql());
  }
  std::filesystem::path Pasta(const std::string& empresa = "Empresa_007") {
    return std::filesystem::path(Amb().Servidor()) / "NFSe" / empresa;
  }
  std::map<std::string, std::string> Status() {
    std::map<std::string, std::string> status;
    for (const auto& l : Amb().Consultar("SELECT EMPRESA, SERIE, NUMERO, STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"))
      status[l[0] + "/" + l[1] + "/" + l[2]] = l[3];
    return status;
  }
};

// Its main paths, in every way the database is reached.
using NotasServicoPorTopologia = EmCadaTopologia<NotasServico>;

TEST_P(NotasServicoPorTopologia, SoNotasAutorizadasPendentesUmEnvioPorRecebivel) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Contrato(6001, "2025", "'Março'");
  Contrato(6002, "2024", "'Dezembro'");
  Nota(1, 457, "'NFSE Autorizada'", "NULL", "nfse-457.xml");
  Nota(1, 458, "'NFSE Autorizada'", "'Pendente'", "nfse-458.xml");
  Nota(1, 459, "'NFSE Autorizada'", "'Enviado'", "nfse-459.xml");
  Nota(1, 460, "'NFSE Cancelada'", "NULL", "nfse-460.xml");
  Nota(1, 461, "'nfse autorizada'", "NULL", "nfse-461.xml");
  Nota(1, 463, "'NFSE Autorizada'", "NULL", "nfse-463.xml");
  Nota(1, 464, "'NFSE Autorizada'", "NULL", "nfse-464.xml", 8);
  Recebe("10", "6001", "1", "1", "457");
  Recebe("10", "6001", "2", "1", "457");  // a second receivable of the same invoice
  Recebe("11", "6002", "1", "1", "458");  // client without a person record
  Recebe("10", "6003", "1", "1", "459");
  Recebe("10", "6004", "1", "1", "460");
  Recebe("10", "6005", "1", "1", "461");
  Recebe("10", "6006", "1", "NULL", "NULL");  // no invoice
  Recebe("10", "6007", "1", "1", "462");      // an invoice that is not there
  Recebe("10", "6008", "1", "1", "463", "7", "'2025-01-31'");  // before the window
  Recebe("10", "6009", "1", "1", "464", "8");                   // another company
  const std::string xml = "<?xml version=\"1.0\"?>\r\n<CompNfse>São Paulo</CompNfse>\n";
  for (int n = 457; n <= 464; ++n) CriarArquivo(Pasta() / ("nfse-" + std::to_string(n) + ".xml"), xml);
  sim.Responder(kCaminho, Resposta::Json(kAceito));

  EnviarNotasServico();

  const auto reqs = sim.Requisicoes();
  std::multiset<std::string> alvos;
  for (const auto& req : reqs) alvos.insert(Alvo(req));
  const std::string base = std::string(kCaminho) + "?token_erp=" + kToken;
  const std::string nota457 = base + "&cnpj=98.765.432/0001-10&ano=2025&mes=3&serie=1&numero=457";
  EXPECT_EQ(alvos, (std::multiset<std::string>{nota457, nota457, base + "&cnpj=&ano=2024&mes=12&serie=1&numero=458"}));
  for (const auto& req : reqs) {
    if (Alvo(req) != nota457) continue;
    const std::string corpo = CorpoArquivo(BoundaryFixo(), "nfse-457.xml", xml);
    EXPECT_EQ(req.bruto, CabecaPost(nota457, "multipart/form-data; boundary=" + BoundaryFixo(), corpo.size(), sim) + corpo);
  }
  EXPECT_EQ(Amb().Log(), "");
  EXPECT_EQ(Status(), (std::map<std::string, std::string>{
                          {"7/1/457", "Enviado"}, {"7/1/458", "Enviado"}, {"7/1/459", "Enviado"}, {"7/1/460", ""},
                          {"7/1/461", ""}, {"7/1/463", ""}, {"8/1/464", ""}}));
}

TEST_P(NotasServicoPorTopologia, PastaDaEmpresaComPeloMenosTresDigitosELinhasDeDebug) {
  for (const int empresa : {7, 1234}) {
    SCOPED_TRACE(empresa);
    Iniciar(/*debug=*/true, empresa);
    Pessoa(10, std::string("'") + kCnpjCliente + "'");
    Contrato(6101, "2025", "'Fevereiro'", empresa);
    Nota(2, 900, "'NFSE Autorizada'", "NULL", "nota 900.xml", empresa);
    Recebe("10", "6101", "1", "2", "900", std::to_string(empresa));
    const std::string pasta = empresa == 7 ? "Empresa_007" : "Empresa_1234";
    const std::string arquivo = (Pasta(pasta) / "nota 900.xml").string();
    CriarArquivo(arquivo, "<xml/>");
    sim.ResponderPadrao(Resposta::Json(kAceito));

    EnviarNotasServico();

    const std::string endereco =
        sim.Base() + kCaminho + "?token_erp=tok-****&cnpj=98.765.432/0001-10&ano=2025&mes=2&serie=2&numero=900";
    EXPECT_EQ(Mensagens(), (Linhas{
                               "Enviando os arquivos XML das Notas de Serviço para a API.",
                               "CNPJ:    98.765.432/0001-10",
                               "Ano:     2025",
                               "Mês:     2",
                               "Serie:   2",
                               "Número:  900",
                               "Arquivo: nota 900.xml",
                               "Seq:      0",
                               "Endereço: " + endereco,
                               "Arquivo:  " + arquivo,
                               kAceito,
                           }));
    EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"), "Enviado");
  }
}

TEST_F(NotasServico, RespostasEArquivoFaltando) {
  Iniciar();
  Pessoa(10, std::string("'") + kCnpjCliente + "'");
  Nota(1, 457, "'NFSE Autorizada'", "NULL", "nfse-457.xml");
  Recebe("10", "6201", "1", "1", "457");
  const std::string arquivo = (Pasta() / "nfse-457.xml").string();
  const Linhas ilegivel = {"Erro ao ler a resposta da API."};
  const struct {
    const char* nome;
    std::optional<Resposta> resposta;  // empty: the file is missing
    Linhas log;
    bool marcada;
  } casos[] = {
      {"aceito", Resposta::Json(kAceito), {}, true},
      {"sem message", Resposta::Json(R"({"sucess": true})"), ilegivel, false},
      {"recusado", Resposta::Json(R"({"sucess": false, "message": "Nota duplicada"})"),
       {"Erro ao enviar arquivo. Nota duplicada"}, false},
      {"status 404", Resposta::Status(404, "Not Found", "sem rota"), {"Erro.: sem rota", "Erro ao ler a resposta da API."},
       false},
      {"arquivo faltando", std::nullopt, {"Arquivo não encontrado: " + arquivo}, false},
  };
  std::size_t enviadas = 0;
  for (const auto& caso : casos) {
    SCOPED_TRACE(caso.nome);
    Executar("UPDATE MOV_NOTA_FISCAL_VENDA SET STATUS_ENVIO_API = NULL");
    LimparLog();
    std::filesystem::remove(arquivo);
    if (caso.resposta) {
      CriarArquivo(arquivo, "<xml/>");
      sim.ResponderPadrao(*caso.resposta);
      ++enviadas;
    }

    EnviarNotasServico();

    EXPECT_EQ(sim.Requisicoes().size(), enviadas);
    EXPECT_EQ(Mensagens(), caso.log);
    EXPECT_EQ(Valor("SELECT STATUS_ENVIO_API FROM MOV_NOTA_FISCAL_VENDA"), caso.marcada ? "Enviado" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(Topologia, NotasServicoPorTopologia, ::testing::ValuesIn(kTopologias), NomeDaTopologia());

}  // namespace
}  // namespace lumiford::teste
