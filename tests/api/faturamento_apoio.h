// Shared by the tests of the billing import: a service environment of one
// company with its own database and a supplier simulator, billing replies
// built from items, and the log lines and rows a run leaves.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/ufuncoes_api.h"
#include "dm/udm.h"
#include "global/datas.h"
#include "global/uglobal.h"
#include "tests/api/apoio.h"
#include "tests/support/banco_teste.h"
#include "tests/support/simulador.h"

namespace lumiford::teste {

using Linhas = std::vector<std::string>;
using Tabela = std::vector<std::vector<std::string>>;

inline constexpr const char* kCaminhoFaturamento = "/financeiro/cliente/faturamento";

// A JSON string literal.
inline std::string J(const std::string& texto) { return "\"" + texto + "\""; }

// One billing item of the web service; every member is raw JSON text.
struct Item {
  std::string id_fatura = "1001";
  std::string ano = "2025";
  std::string mes = "2";
  std::string aliquota = "5.5";
  std::string valorCobranca = "150.75";
  std::string observacao = J("Mensalidade de fevereiro");
  std::string nome = J("Padaria Pão Quente Ltda");
  std::string cnpj = J("98.765.432/0001-10");
  std::string ie = J("123.456.789.110");
  std::string endereco = J("Rua das Flores");
  std::string numero = J("100");
  std::string bairro = J("Centro");
  std::string complemento = J("Sala 2");
  std::string cep = J("01310-100");
  std::string codigoIbge = "3550308";
  std::vector<std::string> contatos = {R"({"tipo":"email","contato":"financeiro@padaria.com.br"})"};
  std::vector<std::string> omitir;  // names of members left out

  std::string Json() const {
    const std::pair<const char*, const std::string*> membros[] = {
        {"id_fatura", &id_fatura}, {"ano", &ano},       {"mes", &mes},
        {"aliquota", &aliquota},   {"valorCobranca", &valorCobranca},
        {"observacao", &observacao}, {"nome", &nome},   {"cnpj", &cnpj},
        {"ie", &ie},               {"endereco", &endereco}, {"numero", &numero},
        {"bairro", &bairro},       {"complemento", &complemento}, {"cep", &cep},
        {"codigoIbge", &codigoIbge}};
    std::string texto = "{";
    const auto incluir = [&](const std::string& nome) {
      for (const auto& o : omitir)
        if (o == nome) return false;
      return true;
    };
    for (const auto& [nome, valor] : membros) {
      if (!incluir(nome)) continue;
      if (texto.size() > 1) texto += ",";
      texto += J(nome) + ":" + *valor;
    }
    if (incluir("contatos")) {
      texto += ",\"contatos\":[";
      for (std::size_t i = 0; i < contatos.size(); ++i) texto += (i ? "," : "") + contatos[i];
      texto += "]";
    }
    return texto + "}";
  }
};

// Item with its own invoice and client.
inline Item ItemCliente(int id_fatura, const std::string& cnpj) {
  Item item;
  item.id_fatura = std::to_string(id_fatura);
  item.cnpj = J(cnpj);
  item.nome = J("Cliente " + std::to_string(id_fatura));
  return item;
}

// CNPJ digits of a test client, punctuated by the import as 11.222.333/0NNN-44.
inline std::string CnpjTeste(int n) {
  std::string seq = std::to_string(n);
  seq.insert(0, 4 - std::min<std::size_t>(4, seq.size()), '0');
  return "11222333" + seq + "44";
}
inline std::string CnpjTesteFormatado(int n) {
  const std::string d = CnpjTeste(n);
  return d.substr(0, 2) + "." + d.substr(2, 3) + "." + d.substr(5, 3) + "/" + d.substr(8, 4) + "-" + d.substr(12);
}

// The compact reply: the flag first, then "data".
inline std::string RespostaFaturamento(const std::vector<Item>& itens, bool erro = true) {
  std::string dados = "[";
  for (std::size_t i = 0; i < itens.size(); ++i) dados += (i ? "," : "") + itens[i].Json();
  return std::string("{\"error\":") + (erro ? "true" : "false") + ",\"data\":" + dados + "]}";
}

// The array of a compact reply, as the "JSON..: " line shows it.
inline std::string DadosDe(const std::string& resposta) {
  const std::size_t inicio = resposta.find("\"data\":") + 7;
  return resposta.substr(inicio, resposta.size() - 1 - inicio);
}

// Lines of the debug dump of one row, as the import writes them.
inline Linhas Despejo(const Linhas& colunas, const Linhas& contatos, bool com_contatos = true) {
  static const char* const rotulos[] = {"Id:", "Ano:", "Mês:", "Aliquota:", "Cobrança:", "Observação:",
                                        "Nome:", "CNPJ:", "IE:", "Endereço:", "Numero:", "Bairro:",
                                        "Complemento:", "Cep:", "Cod. IBGE:"};
  Linhas linhas{""};
  for (std::size_t i = 0; i < 15; ++i) {
    std::string rotulo = rotulos[i];
    // 25 characters, blanks included; the accented letters take two bytes.
    std::size_t caracteres = 0;
    for (unsigned char c : rotulo) caracteres += (c & 0xC0) != 0x80;
    rotulo.append(25 - caracteres, ' ');
    linhas.push_back(rotulo + (i < colunas.size() ? colunas[i] : ""));
  }
  linhas.push_back("Contatos:");
  if (com_contatos) linhas.insert(linhas.end(), contatos.begin(), contatos.end());
  return linhas;
}

inline DataHora Dia(std::chrono::year_month_day dia) { return InicioDoDia(dia) + std::chrono::hours{10}; }

class AmbienteFaturamento : public ::testing::Test {
 protected:
  void TearDown() override {
    dm.reset();
    DefinirRelogio({});
    amb.reset();
    sim.reset();
  }

  // A company with the integration on, pointing at the simulator; the
  // template database holds no person, no billing and no request.
  void Preparar(int empresa = 7, const std::string& debug = "Sim") {
    dm.reset();
    amb.reset();
    // A simulator of its own: replies queued for an earlier environment stay behind.
    sim = std::make_unique<Simulador>();
    ConfiguracaoIni ini;
    ini.empresa = std::to_string(empresa);
    ini.debug = debug;
    amb.emplace(ini, topologia);
    CadastrarEmpresa(empresa, 12);
  }

  void CadastrarEmpresa(int empresa, int vendedor) const {
    amb->Executar(
        "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, USA_INTEGRACAO_API_FINANCEIRO, API_FORNECEDOR_CONEXAO, "
        "API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES (" +
        std::to_string(empresa) + ", 'Empresa " + std::to_string(empresa) + "', '2', 'http', '127.0.0.1:" +
        std::to_string(sim->Porta()) + "', 'tok-7abc9d2e', " + std::to_string(vendedor) + ")");
  }

  void Requisitar(int empresa, int numero) const {
    amb->Executar("INSERT INTO MOV_REQUISICAO_SERVICO (EMPRESA, NUMERO, TIPO_REQUISICAO, REQUISICAO) VALUES (" +
                  std::to_string(empresa) + ", " + std::to_string(numero) +
                  ", 'BUSCAR_FATURAMENTO_API', 'ano=1999&mes=1')");
  }

  void Responder(const std::string& corpo) { sim->Responder(kCaminhoFaturamento, Resposta::Json(corpo)); }

  // One run of the import on that day; the log lines it wrote are in Novas().
  void Executar(std::chrono::year_month_day dia = std::chrono::year{2025} / 3 / 10) {
    const bool novo = !dm;
    if (novo) dm = std::make_unique<Tdm>();
    ASSERT_FALSE(ErroConexao) << MensagemErroConexao;
    if (novo) {
      ASSERT_EQ(dm->Firebird.ViaMotorLocal(), topologia == Topologia::Embutido) << "not reached as the topology says";
    }
    const DataHora agora = Dia(dia);
    DefinirRelogio([agora] { return agora; });
    inicio_log = Mensagens().size();
    BuscarFaturamento();
  }

  // The run's error text, "" when it ended normally.
  std::string ExecutarComErro(std::chrono::year_month_day dia = std::chrono::year{2025} / 3 / 10) {
    try {
      Executar(dia);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  // The debug line of the GET, the token cut to its first four characters.
  std::string LinhaGet(const std::string& consulta = "ano=2025&mes=2") const {
    return "GET URL.......: http://127.0.0.1:" + std::to_string(sim->Porta()) + kCaminhoFaturamento + "?" + consulta +
           "&token_erp=tok-****";
  }

  Linhas Log() const { return MensagensDoLog(amb->DiretorioExe() + "/Log.txt"); }
  // The log's messages; a database message of several lines (continuation
  // lines start with "-") is put back together as one, whether the log has
  // already made its line breaks CR LF or not.
  Linhas Mensagens() const {
    Linhas mensagens;
    for (const auto& linha : Log()) {
      if (linha.starts_with("-") && !mensagens.empty())
        mensagens.back() += "\n" + linha;
      else
        mensagens.push_back(linha);
    }
    return mensagens;
  }
  // The messages the last run wrote.
  Linhas Novas() const {
    const Linhas todas = Mensagens();
    return Linhas(todas.begin() + static_cast<std::ptrdiff_t>(std::min(inicio_log, todas.size())), todas.end());
  }

  std::string Gerador(const std::string& nome) const {
    return amb->Valor("SELECT GEN_ID(" + nome + ", 0) FROM RDB$DATABASE");
  }
  void DefinirGerador(const std::string& nome, int valor) const {
    amb->Executar("SET GENERATOR " + nome + " TO " + std::to_string(valor));
  }

  Tabela Itens() const {
    return amb->Consultar(
        "SELECT EMPRESA, NUMERO, SEQ, CLIENTE, CAST(COMISSAO AS VARCHAR(20)) COMISSAO, "
        "CAST(MENSALIDADE AS VARCHAR(20)) MENSALIDADE, ID_FATURA FROM MOV_IT_CONTRATO_FATURAMENTO ORDER BY EMPRESA, NUMERO, SEQ");
  }
  Tabela Cabecalhos() const {
    return amb->Consultar(
        "SELECT EMPRESA, NUMERO, VENDEDOR, MES_REFERENCIA, ANO_REFERENCIA FROM MOV_CONTRATO_FATURAMENTO "
        "ORDER BY EMPRESA, NUMERO");
  }
  Tabela Requisicoes() const {
    return amb->Consultar("SELECT EMPRESA, NUMERO FROM MOV_REQUISICAO_SERVICO ORDER BY EMPRESA, NUMERO");
  }
  Tabela Pessoas() const {
    return amb->Consultar("SELECT CADASTRO, CNPJ_CPF, NOME FROM CAD_PESSOA ORDER BY CADASTRO");
  }

  std::unique_ptr<Simulador> sim;
  std::optional<AmbienteServico> amb;
  std::size_t inicio_log = 0;
  // How the database is reached (EmCadaTopologia sets it per test).
  Topologia topologia = Topologia::Embutido;
};

}  // namespace lumiford::teste
