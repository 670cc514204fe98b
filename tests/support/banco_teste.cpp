#include "tests/support/banco_teste.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <firebird/Interface.h>

#include "plataforma/bibliotecas.h"
#include "tests/support/servidor_firebird.h"

#include "global/uglobal.h"
#include "plataforma/executavel.h"

namespace fs = std::filesystem;

namespace lumiford::teste {

namespace {

std::string LerArquivo(const fs::path& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  if (!f) throw std::runtime_error("não foi possível ler " + caminho.string());
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void GravarArquivo(const fs::path& caminho, const std::string& conteudo) {
  std::ofstream f(caminho, std::ios::binary | std::ios::trunc);
  f << conteudo;
  if (!f) throw std::runtime_error("não foi possível gravar " + caminho.string());
}

std::uint64_t Fnv1a(const std::string& texto, std::uint64_t h = 1469598103934665603ull) {
  for (unsigned char c : texto) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Builds one database from a schema script with isql-fb (embedded engine).
void CriarBanco(const fs::path& arquivo, const fs::path& esquema, const fs::path& trabalho) {
  fs::path script = trabalho / (arquivo.filename().string() + ".sql");
  fs::path saida = trabalho / (arquivo.filename().string() + ".log");
  GravarArquivo(script, "SET SQL DIALECT 3;\nCREATE DATABASE '" + arquivo.string() +
                            "' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;\n" + LerArquivo(esquema));
  std::string comando = "isql-fb -q -b -ch UTF8 -i '" + script.string() + "' > '" + saida.string() + "' 2>&1";
  int r = std::system(comando.c_str());
  if (r != 0)
    throw std::runtime_error("isql-fb falhou ao criar " + arquivo.string() + ":\n" + LerArquivo(saida));
  // Without a disk flush per commit: test runs write thousands of single-statement transactions.
  comando = "gfix -write async '" + arquivo.string() + "' > '" + saida.string() + "' 2>&1";
  if (std::system(comando.c_str()) != 0)
    throw std::runtime_error("gfix falhou em " + arquivo.string() + ":\n" + LerArquivo(saida));
}

class TravaArquivo {
 public:
  explicit TravaArquivo(const fs::path& caminho) : fd_(::open(caminho.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + caminho.string());
    if (::flock(fd_, LOCK_EX) != 0) {
      int e = errno;
      ::close(fd_);
      throw std::system_error(e, std::generic_category(), "flock " + caminho.string());
    }
  }
  ~TravaArquivo() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  TravaArquivo(const TravaArquivo&) = delete;
  TravaArquivo& operator=(const TravaArquivo&) = delete;

 private:
  int fd_;
};

std::string ConstruirModelos() {
  const fs::path fixtures = LUMIFORD_FIXTURES_DIR;
  const fs::path esquemaDados = fixtures / "erp_schema.sql";
  const fs::path esquemaHistorico = fixtures / "historico_schema.sql";
  // A changed schema gets a directory of its own, so a stale template is never used.
  std::uint64_t h = Fnv1a(LerArquivo(esquemaHistorico), Fnv1a(LerArquivo(esquemaDados)));
  char nome[32];
  std::snprintf(nome, sizeof nome, "%016llx", static_cast<unsigned long long>(h));
  const fs::path base = fs::path(LUMIFORD_BUILD_DIR) / "modelos_banco";
  const fs::path destino = base / nome;
  if (fs::exists(destino / "DADOS.FDB") && fs::exists(destino / "HISTORICO_SISTEMA.FDB")) return destino.string();

  fs::create_directories(base);
  TravaArquivo trava(base / ".trava");
  if (fs::exists(destino / "DADOS.FDB") && fs::exists(destino / "HISTORICO_SISTEMA.FDB")) return destino.string();

  PastaTemporaria trabalho("lumiford-modelo");
  fs::path temporario = base / (std::string(nome) + ".tmp." + std::to_string(::getpid()));
  fs::remove_all(temporario);
  fs::create_directories(temporario);
  CriarBanco(temporario / "DADOS.FDB", esquemaDados, trabalho.caminho());
  CriarBanco(temporario / "HISTORICO_SISTEMA.FDB", esquemaHistorico, trabalho.caminho());
  fs::remove_all(destino);
  fs::rename(temporario, destino);
  return destino.string();
}

// Kept loaded for the whole test process, so that the leak checker names the
// engine's lifelong allocations; isql-fb runs before any connection of ours.
void ManterMotorCarregado() {
  const char* plugins = Firebird::fb_get_master_interface()->getConfigManager()->getDirectory(
      Firebird::IConfigManager::DIR_PLUGINS);
  if (plugins) ManterMotorFirebirdCarregado(plugins);
}

}  // namespace

std::string DiretorioModelos() {
  static std::once_flag uma;
  static std::string diretorio;
  std::call_once(uma, [] {
    PrepararClienteFirebird();
    ManterMotorCarregado();
    diretorio = ConstruirModelos();
  });
  return diretorio;
}

BancosTeste CopiarBancos(const std::string& diretorio) {
  const fs::path modelos = DiretorioModelos();
  fs::create_directories(diretorio);
  BancosTeste b;
  b.diretorio = diretorio;
  b.dados = (fs::path(diretorio) / "DADOS.FDB").string();
  b.historico = (fs::path(diretorio) / "HISTORICO_SISTEMA.FDB").string();
  fs::copy_file(modelos / "DADOS.FDB", b.dados, fs::copy_options::overwrite_existing);
  fs::copy_file(modelos / "HISTORICO_SISTEMA.FDB", b.historico, fs::copy_options::overwrite_existing);
  return b;
}

std::unique_ptr<Conexao> AbrirConexao(const std::string& arquivo) {
  PrepararClienteFirebird();
  auto c = std::make_unique<Conexao>();
  c->Params = {"DriverID=FB", "CharacterSet=WIN1252", "Database=" + arquivo, "User_Name=sysdba",
               "Password=bluefjord"};
  c->Connect();
  return c;
}

void ExecutarSQL(const std::string& arquivo, const std::string& sql) {
  auto c = AbrirConexao(arquivo);
  Consulta q(*c);
  q.SetSQL(sql);
  q.ExecSQL();
}

std::vector<std::vector<std::string>> ConsultarSQL(const std::string& arquivo, const std::string& sql) {
  auto c = AbrirConexao(arquivo);
  Consulta q(*c);
  q.SetSQL(sql);
  q.Open();
  std::vector<std::vector<std::string>> linhas;
  for (; !q.Eof(); q.Next()) {
    auto& linha = linhas.emplace_back();
    for (std::size_t i = 0; i < q.FieldCount(); ++i) linha.push_back(q.FieldByName(q.FieldName(i)).AsString());
  }
  return linhas;
}

std::string ValorSQL(const std::string& arquivo, const std::string& sql) {
  auto linhas = ConsultarSQL(arquivo, sql);
  if (linhas.empty() || linhas[0].empty()) return {};
  return linhas[0][0];
}

void EscreverIni(const std::string& diretorio, const ConfiguracaoIni& ini) {
  std::string texto = "[Lumiford]\r\n";
  texto += "Empresa=" + ini.empresa + "\r\n";
  texto += "Lumiford=" + ini.lumiford + "\r\n";
  texto += "Servidor=" + ini.servidor + "\r\n";
  texto += "Nome_Servidor=" + ini.nome_servidor + "\r\n";
  texto += "Debug=" + ini.debug + "\r\n";
  for (const auto& linha : ini.linhas_extras) texto += linha + "\r\n";
  GravarArquivo(fs::path(diretorio) / "lumiford.ini", texto);
}

AmbienteServico::AmbienteServico(ConfiguracaoIni ini) : pasta_("lumiford-servico") {
  diretorio_exe_ = pasta_.str();
  bancos_ = CopiarBancos(pasta_ / "Dados");
  if (ini.servidor.empty()) ini.servidor = bancos_.diretorio;
  EscreverIni(diretorio_exe_, ini);
  RestaurarGlobais();
  SubstituirDiretorioExecutavel(diretorio_exe_);
}

AmbienteServico::~AmbienteServico() {
  SubstituirDiretorioExecutavel("");
  RestaurarGlobais();
}

std::string AmbienteServico::Log() const {
  fs::path log = fs::path(diretorio_exe_) / "Log.txt";
  if (!fs::exists(log)) return {};
  return LerArquivo(log);
}

}  // namespace lumiford::teste
