#include "global/uglobal.h"

#include <filesystem>
#include <optional>

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
