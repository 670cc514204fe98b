#include "global/uglobal.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include "global/funcoes.h"
#include "global/ini.h"
#include "global/log.h"
#include "global/parada.h"
#include "plataforma/arquivos.h"
#include "plataforma/caminhos.h"
#include "plataforma/executavel.h"
#include "plataforma/perfil.h"

std::int32_t CodigoEmpresa = 0;
std::string DiretorioSistema;
std::string DiretorioServidor;
std::string NomeServidor;
std::string ModoDebug;
std::string ArquivoConfiguracao;
std::string DiretorioExe;
bool ErroConexao = false;
std::string MensagemErroConexao;
std::string CertificadoCA;
std::string VerificarCertificado;

void LerConfiguracao() {
  const std::string diretorio = DiretorioDoExecutavel();

  std::error_code ignorado;
  std::filesystem::create_directory(CaminhoUtf8(diretorio + SeparadorCaminho + "Req"), ignorado);

  ArquivoConfiguracao = diretorio + SeparadorCaminho + "lumiford.ini";
  DiretorioServidor.clear();

  if (!ArquivoExiste(ArquivoConfiguracao)) {
    GravarLog("Arquivo lumiford.ini não encontrado.");
    return;
  }

  // A file that cannot be read leaves every value as it was.
  std::optional<ArquivoPerfil> ini;
  try {
    ini = ArquivoPerfil::Abrir(ArquivoConfiguracao);
  } catch (const std::exception&) {
  }
  if (ini) {
    const auto texto = [&](const char* chave) { return ini->Valor("Lumiford", chave); };
    CodigoEmpresa = InteiroIni(texto("Empresa"));
    DiretorioSistema = texto("Lumiford");
    DiretorioServidor = texto("Servidor");
    NomeServidor = texto("Nome_Servidor");
    ModoDebug = texto("Debug");
    CertificadoCA = texto("CertificadoCA");
    VerificarCertificado = texto("VerificarCertificado");
  }

  if (EmDebug()) {
    GravarLog("Empresa............: " + std::to_string(CodigoEmpresa));
    GravarLog("Diretório Lumiford.: " + DiretorioSistema);
    GravarLog("Diretório Servidor.: " + DiretorioServidor);
    GravarLog("Nome do Servidor...: " + NomeServidor);
    GravarLog(" ");
  }
}

namespace {

constexpr const char* kSecao = "Lumiford";
constexpr const char* kChaves[] = {"Empresa", "Lumiford", "Servidor", "Nome_Servidor",
                                   "Debug", "CertificadoCA", "VerificarCertificado"};

// Letters to add, drop or change to turn one name into the other, without
// regard to case.
std::size_t Distancia(std::string_view a, std::string_view b) {
  const std::string x = MinusculasAscii(std::string(a));
  const std::string y = MinusculasAscii(std::string(b));
  std::vector<std::size_t> linha(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) linha[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = linha[0];
    linha[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t acima = linha[j];
      linha[j] = std::min({linha[j] + 1, linha[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = acima;
    }
  }
  return linha[y.size()];
}

std::string ListaChaves() {
  std::string lista;
  for (const char* chave : kChaves) lista += (lista.empty() ? "" : ", ") + std::string(chave);
  return lista;
}

// Profile files take a comment only on a line of its own: "07 ; principal"
// is the whole value.
bool PareceComentario(const std::string& valor) {
  for (std::size_t i = 1; i < valor.size(); ++i)
    if ((valor[i] == ';' || valor[i] == '#') && (valor[i - 1] == ' ' || valor[i - 1] == '\t')) return true;
  return false;
}

// Every other byte zero: UTF-16 that the profile rules read as ANSI text.
std::optional<bool> Utf16SemMarca(const std::string& bytes) {
  std::size_t pares = 0, impares = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\0') ++(i % 2 == 0 ? pares : impares);
  const std::size_t metade = bytes.size() / 2;
  if (metade == 0) return std::nullopt;
  if (impares * 2 >= metade && pares == 0) return true;    // little-endian
  if (pares * 2 >= metade && impares == 0) return false;   // big-endian
  return std::nullopt;
}

}  // namespace

std::vector<std::string> AvisosConfiguracao(const std::string& bytes) {
  std::vector<std::string> avisos;
  const std::string sem_nome = "o serviço se chamaria lumiford_financeiro_000";
  if (bytes.starts_with("\xFE\xFF") || (!bytes.starts_with("\xFF\xFE") && Utf16SemMarca(bytes))) {
    const bool be = bytes.starts_with("\xFE\xFF") || !*Utf16SemMarca(bytes);
    avisos.push_back(std::string("lumiford.ini está em UTF-16 ") +
                     (be ? "big-endian" : "sem a marca de ordem de bytes (BOM)") +
                     ": nenhuma chave é lida e Empresa fica 0 (" + sem_nome +
                     "); salve-o em UTF-8 ou em UTF-16 little-endian com BOM");
    return avisos;
  }
  const ArquivoIni ini = ArquivoIni::DeBytes(bytes);
  if (!ini.TemSecao(kSecao)) {
    avisos.push_back(std::string("a seção [") + kSecao + "] não está em lumiford.ini: nenhuma chave é lida e Empresa fica 0 (" +
                     sem_nome + ")");
    return avisos;
  }

  const auto chaves = ini.Chaves(kSecao);
  std::vector<std::string> vistas;
  for (const auto& chave : chaves) {
    const auto conhecida = std::find_if(std::begin(kChaves), std::end(kChaves),
                                        [&](const char* k) { return IguaisSemCaixa(k, chave.nome); });
    if (conhecida == std::end(kChaves)) {
      const char* parecida = nullptr;
      std::size_t menor = 3;
      for (const char* k : kChaves) {
        const std::size_t d = Distancia(chave.nome, k);
        if (d < menor) {
          menor = d;
          parecida = k;
        }
      }
      avisos.push_back("chave desconhecida em [" + std::string(kSecao) + "]: \"" + chave.nome + "\" (" +
                       (parecida ? "seria " + std::string(parecida) + "?" : "as chaves são " + ListaChaves()) +
                       "); não é lida");
      continue;
    }
    if (std::any_of(vistas.begin(), vistas.end(), [&](const std::string& v) { return IguaisSemCaixa(v, chave.nome); })) {
      avisos.push_back("chave repetida em [" + std::string(kSecao) + "]: " + *conhecida + " (vale a primeira)");
      continue;
    }
    vistas.push_back(chave.nome);
    if (PareceComentario(chave.valor))
      avisos.push_back("o valor de " + std::string(*conhecida) + " parece ter um comentário (\"" + chave.valor +
                       "\"): tudo depois do = faz parte do valor; um comentário vai numa linha própria, começando com ;");
  }

  const auto empresa = ini.Valor(kSecao, "Empresa");
  if (!empresa)
    avisos.push_back("Empresa não está em lumiford.ini: " + sem_nome);
  else if (InteiroIni(*empresa) == 0)
    avisos.push_back("Empresa = \"" + *empresa + "\" vale 0: " + sem_nome);
  if (ini.Valor(kSecao, "Servidor").value_or("").empty())
    avisos.push_back("Servidor está vazio: os bancos de dados (DADOS.FDB) são procurados sem a pasta do ERP");
  return avisos;
}

std::vector<std::string> AvisosConfiguracao() {
  if (ArquivoConfiguracao.empty() || !ArquivoExiste(ArquivoConfiguracao)) return {};
  std::ifstream arquivo(CaminhoUtf8(ArquivoConfiguracao), std::ios::binary);
  std::ostringstream bytes;
  bytes << arquivo.rdbuf();
  if (!arquivo) return {"lumiford.ini não pôde ser lido: " + std::generic_category().message(errno)};
  return AvisosConfiguracao(std::move(bytes).str());
}

void RestaurarGlobais() {
  CodigoEmpresa = 0;
  DiretorioSistema.clear();
  DiretorioServidor.clear();
  NomeServidor.clear();
  ModoDebug.clear();
  ArquivoConfiguracao.clear();
  DiretorioExe.clear();
  ErroConexao = false;
  MensagemErroConexao.clear();
  CertificadoCA.clear();
  VerificarCertificado.clear();
  EsquecerParada();
}
