// Running the real executable from a test: a copy of it in a temporary
// directory beside its own lumiford.ini and databases, a child process with
// its output in files, and Log.txt read back as messages.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/banco_teste.h"
#include "tests/support/pasta_temporaria.h"

extern char** environ;

namespace lumiford::teste {

inline std::string Ler(const std::filesystem::path& caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  std::ostringstream texto;
  texto << arquivo.rdbuf();
  return texto.str();
}

// Messages of Log.txt without their date and time.
inline std::vector<std::string> Mensagens(const std::filesystem::path& log) {
  std::string texto = Ler(log);
  if (texto.rfind("\xEF\xBB\xBF", 0) == 0) texto.erase(0, 3);
  std::vector<std::string> linhas;
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    std::size_t fim = texto.find("\r\n", inicio);
    if (fim == std::string::npos) fim = texto.size();
    std::string linha = texto.substr(inicio, fim - inicio);
    inicio = fim + 2;
    // "dd/mm/yyyy hh:nn:ss: "
    if (linha.size() >= 21 && linha[2] == '/' && linha[5] == '/' && linha[13] == ':' && linha.compare(19, 2, ": ") == 0)
      linha.erase(0, 21);
    linhas.push_back(linha);
  }
  return linhas;
}

inline std::size_t Contar(const std::vector<std::string>& linhas, const std::string& mensagem) {
  return static_cast<std::size_t>(std::count(linhas.begin(), linhas.end(), mensagem));
}

// Index of the first line equal to the message at or after `desde`; -1 when none.
inline long Posicao(const std::vector<std::string>& linhas, const std::string& mensagem, long desde = 0) {
  for (std::size_t i = static_cast<std::size_t>(desde); i < linhas.size(); ++i)
    if (linhas[i] == mensagem) return static_cast<long>(i);
  return -1;
}

// A process of the executable, its output in files; killed if still running
// at the end of the test.
class Processo {
 public:
  Processo(const std::string& exe, const std::vector<std::string>& argumentos,
           const std::vector<std::string>& ambiente, const std::filesystem::path& saidas)
      : executavel_(exe), saida_(saidas / "stdout.txt"), erros_(saidas / "stderr.txt") {
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), argumentos.begin(), argumentos.end());
    std::vector<char*> pa;
    for (auto& a : argv) pa.push_back(a.data());
    pa.push_back(nullptr);
    // Under the sanitizers a report must never pass for the program's own
    // exit code: leaks are reported without changing it (exitcode=0), any
    // other error aborts the process, and Vivo() turns whatever report
    // reached stderr into a failure of the test.
    std::string lsan = "LSAN_OPTIONS=print_suppressions=0";
    std::string asan = "ASAN_OPTIONS=";
    std::string ubsan = "UBSAN_OPTIONS=";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string variavel = *e;
      if (variavel.rfind("LSAN_OPTIONS=", 0) == 0)
        lsan = variavel + ":print_suppressions=0";
      else if (variavel.rfind("ASAN_OPTIONS=", 0) == 0)
        asan = variavel + ":";
      else if (variavel.rfind("UBSAN_OPTIONS=", 0) == 0)
        ubsan = variavel + ":";
      else
        env.push_back(variavel);
    }
    env.push_back(lsan);
    env.push_back(asan + "exitcode=0:abort_on_error=1");
    env.push_back(ubsan + "exitcode=0:abort_on_error=1");
    env.insert(env.end(), ambiente.begin(), ambiente.end());
    std::vector<char*> pe;
    for (auto& e : env) pe.push_back(e.data());
    pe.push_back(nullptr);

    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addopen(&acoes, 1, saida_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&acoes, 2, erros_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t atributos;
    posix_spawnattr_init(&atributos);
    sigset_t vazio;
    sigemptyset(&vazio);
    posix_spawnattr_setsigmask(&atributos, &vazio);
    posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSIGMASK);
    int erro = posix_spawn(&pid_, exe.c_str(), &acoes, &atributos, pa.data(), pe.data());
    posix_spawn_file_actions_destroy(&acoes);
    posix_spawnattr_destroy(&atributos);
    if (erro != 0) throw std::system_error(erro, std::generic_category(), "posix_spawn " + exe);
  }
  ~Processo() {
    if (!codigo_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Processo(const Processo&) = delete;
  Processo& operator=(const Processo&) = delete;

  void Sinal(int sinal) const { ::kill(pid_, sinal); }
  pid_t Pid() const { return pid_; }
  bool Vivo() {
    if (codigo_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      codigo_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      const std::string erros = Erros();
      if (erros.find("Sanitizer") != std::string::npos || erros.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from " << executavel_ << " (exit code " << *codigo_ << "):\n" << erros;
      return false;
    }
    return true;
  }
  // Exit code, or nothing if the process did not end in time.
  std::optional<int> Esperar(std::chrono::milliseconds limite = std::chrono::seconds(20)) {
    const auto fim = std::chrono::steady_clock::now() + limite;
    while (Vivo()) {
      if (std::chrono::steady_clock::now() > fim) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return codigo_;
  }
  std::string Saida() const { return Ler(saida_); }
  std::string Erros() const { return Ler(erros_); }

 private:
  std::string executavel_;
  std::filesystem::path saida_, erros_;
  pid_t pid_ = -1;
  std::optional<int> codigo_;
};

// Waits until the condition holds, for at most the limit.
inline bool Aguardar(const std::function<bool()>& condicao,
                     std::chrono::milliseconds limite = std::chrono::seconds(20)) {
  const auto fim = std::chrono::steady_clock::now() + limite;
  while (!condicao()) {
    if (std::chrono::steady_clock::now() > fim) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A file written whole, its folders made first.
inline void Gravar(const std::filesystem::path& caminho, const std::string& dados) {
  std::filesystem::create_directories(caminho.parent_path());
  std::ofstream saida(caminho, std::ios::binary);
  saida << dados;
  ASSERT_TRUE(saida.good()) << caminho;
}

// A copy of an executable in its own directory, with its own settings,
// databases and unit directory; the databases reached as the topology says
// (the tests' own Firebird server runs as long as the installation).
class Instalacao {
 public:
  explicit Instalacao(const char* executavel, const std::string& subpasta = "servico",
                      Topologia topologia = Topologia::Embutido)
      : topologia_(topologia), dir_(pasta_.caminho() / subpasta), unidades_(pasta_.caminho() / "unidades") {
    std::filesystem::create_directories(dir_);
    std::filesystem::create_directories(unidades_);
    std::filesystem::copy_file(executavel, Exe());
  }
  std::string Exe() const { return (dir_ / "lumiford_financeiro").string(); }
  const std::filesystem::path& Dir() const { return dir_; }
  const std::filesystem::path& Unidades() const { return unidades_; }
  std::filesystem::path Log() const { return dir_ / "Log.txt"; }
  std::filesystem::path Temp() const { return pasta_.caminho(); }
  std::filesystem::path Dados() const { return dir_ / "dados"; }
  std::vector<std::string> Linhas() const { return Mensagens(Log()); }

  // Settings for a company; the databases in <dir>/dados (copied unless told
  // otherwise); extra lines go into the settings as they are.
  void Configurar(const std::string& empresa, bool copiarBancos = true, const std::string& debug = "",
                  const std::vector<std::string>& extras = {}) {
    ConfiguracaoIni ini;
    ini.empresa = empresa;
    ini.servidor = topologia_.ValorServidor(Dados().string());
    ini.debug = debug;
    ini.linhas_extras = extras;
    std::filesystem::create_directories(Dados());
    EscreverIni(dir_.string(), ini);
    if (copiarBancos) bancos_ = CopiarBancos(Dados().string());
  }
  // Statements on DADOS.FDB; each call connects and disconnects, so none is
  // held while the executable runs.
  void Sql(const std::string& sql) const { ExecutarSQL(bancos_.dados, sql); }
  std::string Valor(const std::string& sql) const { return ValorSQL(bancos_.dados, sql); }
  std::vector<std::vector<std::string>> Consultar(const std::string& sql) const {
    return ConsultarSQL(bancos_.dados, sql);
  }
  const BancosTeste& Bancos() const { return bancos_; }
  ServidorFirebird* ServidorBanco() const { return topologia_.Servidor(); }

  std::unique_ptr<Processo> Iniciar(const std::vector<std::string>& argumentos,
                                    std::vector<std::string> ambiente = {}) {
    ambiente.push_back("LUMIFORD_UNIT_DIR=" + unidades_.string());
    auto saidas = pasta_.caminho() / ("execucao" + std::to_string(++execucoes_));
    std::filesystem::create_directories(saidas);
    return std::make_unique<Processo>(Exe(), argumentos, ambiente, saidas);
  }

  struct Resultado {
    int codigo;
    std::string saida, erros;
  };
  Resultado Rodar(const std::vector<std::string>& argumentos,
                  std::chrono::milliseconds limite = std::chrono::seconds(20)) {
    auto processo = Iniciar(argumentos);
    auto codigo = processo->Esperar(limite);
    EXPECT_TRUE(codigo.has_value()) << "did not end";
    return {codigo.value_or(-1), processo->Saida(), processo->Erros()};
  }

 private:
  TopologiaBanco topologia_;
  PastaTemporaria pasta_;
  std::filesystem::path dir_, unidades_;
  BancosTeste bancos_;
  int execucoes_ = 0;
};

// The boleto PDF and the service invoice XML of the company below.
inline const std::string kPdfEmpresa = "%PDF-1.4\n% boleto CM 1001-1\n%%EOF\n";
inline const std::string kXmlEmpresa =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CompNfse><Numero>457</Numero></CompNfse>\n";

// Company 7 (the supplier at `endereco`, `intervalo` minutes between runs of
// Timer) with one piece of work for each of Timer's flows: a paid receivable
// (invoice 501) of client 15 on contract 1001, its boleto PDF, and its
// authorised service invoice 457 with the XML.
inline void PrepararEmpresaComTrabalho(Instalacao& inst, const std::string& conexao, const std::string& endereco,
                                       const std::string& intervalo, const std::string& integracao,
                                       const std::string& token) {
  inst.Sql(
      "INSERT INTO CAD_EMPRESA (CADASTRO, NOME, CNPJ_CPF, INTERVALO_REC_FINANCEIRO, USA_INTEGRACAO_API_FINANCEIRO, "
      "API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO, API_FORNECEDOR_TOKEN, VENDEDOR_FATURAMENTO) VALUES "
      "(7, 'Empresa Teste', '12.345.678/0001-95', " + intervalo + ", '" + integracao + "', '" + conexao + "', '" +
      endereco + "', '" + token + "', 3)");
  inst.Sql("INSERT INTO CAD_PESSOA (CADASTRO, NOME, CNPJ_CPF, TIPO_CLIENTE) "
           "VALUES (15, 'Padaria', '98.765.432/0001-10', '2')");
  inst.Sql("INSERT INTO MOV_CONTRATO_MANUTENCAO (EMPRESA, NUMERO, CLIENTE, ANO_REFERENCIA, MES_REFERENCIA, VALOR) "
           "VALUES (7, 1001, 15, 2025, 'Maio', 150.50)");
  inst.Sql("INSERT INTO MOV_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, EMISSAO, "
           "VENCIMENTO, VALOR, SALDO, ID_FATURA, FATURA_ENVIADA, SERIE_NOTA_SERVICO, NUMERO_NOTA_SERVICO) VALUES "
           "(7, 'CM', 'CM', 15, 1001, 1, 1, CURRENT_DATE, CURRENT_DATE + 10, 150.50, 0, 501, '1', 1, 457)");
  inst.Sql("INSERT INTO MOV_IT_CONTAS_RECEBER (EMPRESA, CAIXA, DOCUMENTO, CLIENTE, NUMERO, SERIE, PARCELA, SEQ, "
           "DATA_PAGAMENTO, VALOR_PAGO) VALUES (7, 'CM', 'CM', 15, 1001, 1, 1, 1, CURRENT_DATE, 150.50)");
  inst.Sql("INSERT INTO MOV_NOTA_FISCAL_VENDA (EMPRESA, SERIE, NUMERO, CLIENTE, EMISSAO, VALOR_TOTAL, STATUS, "
           "IDENTIFICACAO_ARQUIVO_XML_NFE) VALUES (7, 1, 457, 15, CURRENT_DATE, 150.50, 'NFSE Autorizada', "
           "'NFSe_457.xml')");
  Gravar(inst.Dados() / "Boleto" / "12345678000195" / "98765432000110" / "CM 1001-1.pdf", kPdfEmpresa);
  Gravar(inst.Dados() / "NFSe" / "Empresa_007" / "NFSe_457.xml", kXmlEmpresa);
}

}  // namespace lumiford::teste
