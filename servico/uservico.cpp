#include "servico/uservico.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "api/http.h"
#include "dm/agendador.h"
#include "dm/udm.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"
#include "plataforma/controle_servico.h"
#include "plataforma/executavel.h"
#include "plataforma/gerenciador_servicos.h"
#include "plataforma/caminhos.h"
#include "plataforma/instancia.h"
#include "plataforma/memoria.h"
#include "plataforma/mensagens.h"
#include "plataforma/registro_eventos.h"
#include "servico/operador.h"

std::unique_ptr<Tlumiford_gerenciamento> lumiford_gerenciamento;

namespace {

// The running copy of this installation, for the service and /ONCE: a
// second one would run every flow beside the first and send the same work
// twice. Empty, with the reason on standard error and in Log.txt, when this
// copy must end.
std::optional<TravaInstancia> TravarInstalacao() {
  const std::string caminho = DiretorioDoExecutavel() + SeparadorCaminho + NomeTravaInstancia;
  std::string linha;
  try {
    if (auto trava = TravaInstancia::Tomar(caminho)) return trava;
    const std::string dono = TravaInstancia::Dono(caminho);
    linha = "Outra cópia deste serviço já está rodando nesta instalação" +
            (dono.empty() ? std::string() : " (processo " + dono + ")") + "; esta termina sem conectar.";
  } catch (const std::exception& e) {
    linha = std::string("Não foi possível travar a instalação (") + e.what() + "); esta cópia termina sem conectar.";
  }
  std::cerr << NomeArquivoExecutavel() << ": " << linha << std::endl;
  try {
    GravarLog(linha);
  } catch (...) {
  }
  return std::nullopt;
}

std::string Falha(const std::string& exibicao, const char* operacao, const std::string& erro) {
  return "Service \"" + exibicao + "\" failed to " + operacao + " with error: \"" + erro + "\"";
}

}  // namespace

std::string TextoErro(const std::exception_ptr& erro) {
  try {
    std::rethrow_exception(erro);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void Tlumiford_gerenciamento::ServiceCreate() { ConfigurarServico(); }

void Tlumiford_gerenciamento::ConfigurarServico() {
  // Named from whatever CodigoEmpresa holds also when reading the settings
  // fails half-way (a banner that cannot be logged): an install or start
  // failure is then reported under the service's name, not an empty one.
  const auto nomear = [this] {
    const std::string codigo = ZerosEsquerda(std::to_string(CodigoEmpresa), 3);
    DisplayName = "Lumiford " + codigo + " - Financeiro";
    Name = "lumiford_financeiro_" + codigo;
  };
  try {
    LerConfiguracao();
  } catch (...) {
    nomear();
    throw;
  }
  nomear();
  if (EmDebug()) {
    GravarLog(Name);
    GravarLog(DisplayName);
    GravarLog("");  // the writer turns it into a line of one blank
  }
}

void Tlumiford_gerenciamento::ServiceAfterInstall() {
  GravarLog("Service - Installed");
  GerenciadorServicos gerenciador;
  gerenciador.GravarDescricao(Name, DescricaoServico);
}

void Tlumiford_gerenciamento::ServiceAfterUninstall() { GravarLog("Service - Uninstalled"); }

void Tlumiford_gerenciamento::ServiceStart(bool& Started) {
  GravarLog("Service - Start");
  Started = true;
}

void Tlumiford_gerenciamento::ServiceStop(bool& Stopped) {
  GravarLog("Service - Stop");
  Stopped = true;
}

void Tlumiford_gerenciamento::ServicePause(bool& Paused) {
  GravarLog("Service - Pause");
  Paused = true;
}

void Tlumiford_gerenciamento::ServiceContinue(bool& Continued) {
  GravarLog("Service - Continue");
  Continued = true;
}

void Tlumiford_gerenciamento::ServiceShutdown() { GravarLog("Service - Shutdown"); }

void Tlumiford_gerenciamento::ServiceInterrogate(bool Paused) {
  GravarLog(Paused ? "Service - Status: Paused" : "Service - Status: Running");
}

int Tlumiford_gerenciamento::Instalar(bool silencioso) {
  // What looks like a mistake in the settings is told before, and installs
  // all the same: the service reads them as they are.
  for (const auto& aviso : AvisosConfiguracao()) std::cerr << "Aviso: " << aviso << std::endl;
  std::unique_ptr<GerenciadorServicos> gerenciador;
  try {
    gerenciador = std::make_unique<GerenciadorServicos>();
  } catch (...) {
    MostrarErro(Falha(DisplayName, "install", TextoErro(std::current_exception())));
    return 1;
  }
  try {
    gerenciador->CriarServico({Name, DisplayName, CaminhoExecutavel()});
  } catch (...) {
    MostrarErro(Falha(DisplayName, "install", TextoErro(std::current_exception())));
    return 1;
  }
  try {
    ServiceAfterInstall();
  } catch (...) {
    // A service whose installation could not be completed is not left behind.
    const std::string erro = TextoErro(std::current_exception());
    try {
      gerenciador->ExcluirServico(Name);
    } catch (...) {
    }
    MostrarErro(Falha(DisplayName, "install", erro));
    return 1;
  }
  if (!silencioso) {
    MostrarInformacao("Service installed successfully: " + gerenciador->LocalRegistro(Name) +
                      (gerenciador->IniciaComSistema()
                           ? ", habilitado (inicia com o sistema)"
                           : ", não habilitado (o systemd não está em execução nesta máquina; depois: systemctl "
                             "daemon-reload e systemctl enable " + Name + ")"));
  }
  return 0;
}

int Tlumiford_gerenciamento::Desinstalar(bool silencioso) {
  // Removing the registration does not stop the process: the operator is
  // told, whatever SILENT says, for the service would go on working.
  std::string parar;
  try {
    GerenciadorServicos gerenciador;
    try {
      parar = gerenciador.ComandoParada(Name, CaminhoExecutavel());
    } catch (...) {
    }
    gerenciador.ExcluirServico(Name);
    ServiceAfterUninstall();
  } catch (...) {
    MostrarErro(Falha(DisplayName, "uninstall", TextoErro(std::current_exception())));
    return 1;
  }
  if (!silencioso) MostrarInformacao("Service uninstalled successfully");
  if (!parar.empty())
    MostrarAviso("Service \"" + DisplayName + "\" is still running: stop it with \"" + parar + "\"");
  return 0;
}

int Tlumiford_gerenciamento::ExecutarComoServico() {
  IniciarReconexao();
  TratadoresServico tratadores;
  tratadores.Iniciar = [this] {
    bool iniciado = true;
    ServiceStart(iniciado);
  };
  // The stop is asked for first: the flows take no new row even if the
  // handler's log line cannot be written.
  tratadores.Parar = [this] {
    PedirParada();
    bool parado = true;
    ServiceStop(parado);
  };
  tratadores.Pausar = [this] {
    bool pausado = true;
    ServicePause(pausado);
  };
  tratadores.Continuar = [this] {
    bool continuado = true;
    ServiceContinue(continuado);
  };
  tratadores.Desligar = [this] {
    PedirParada();
    ServiceShutdown();
  };
  tratadores.Consultar = [this](bool pausado) { ServiceInterrogate(pausado); };
  // A start that failed is a failure for whoever started the service.
  return ExecutarServico(Name, tratadores) ? 0 : 1;
}

bool ProcurarChave(const std::vector<std::string>& argumentos, std::string_view chave) {
  if (chave.empty()) return false;
  for (const auto& argumento : argumentos) {
    if (argumento.empty() || (argumento[0] != '/' && argumento[0] != '-')) continue;
    if (IguaisSemCaixa(std::string_view(argumento).substr(1), chave)) return true;
  }
  return false;
}

OpcoesLinhaComando LerLinhaComando(const std::vector<std::string>& argumentos) {
  OpcoesLinhaComando opcoes;
  opcoes.Instalar = ProcurarChave(argumentos, "INSTALL");
  opcoes.Desinstalar = !opcoes.Instalar && ProcurarChave(argumentos, "UNINSTALL");
  opcoes.Silencioso = ProcurarChave(argumentos, "SILENT");
  opcoes.UmaVez = ProcurarChave(argumentos, "ONCE");
  opcoes.Verificar = ProcurarChave(argumentos, "CHECK");
  opcoes.Ajuda = ProcurarChave(argumentos, "HELP") || ProcurarChave(argumentos, "H");
  for (const auto& argumento : argumentos)
    if (argumento == "--help") opcoes.Ajuda = true;
  return opcoes;
}

int ExecutarPrograma(int argc, char** argv, const std::function<void()>& registrarFluxos) {
  // Before any thread exists (the embedded database engine starts its own):
  // the control requests must reach the control thread only.
  PrepararControleServico();
  const OpcoesLinhaComando opcoes =
      LerLinhaComando(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (opcoes.Ajuda) {
    MostrarAjuda();
    return 0;
  }
  // Before the data module connects: a second copy touches neither database
  // nor web service.
  const bool executa_fluxos = !opcoes.Instalar && !opcoes.Desinstalar && !opcoes.Verificar;
  std::optional<TravaInstancia> instancia;
  if (executa_fluxos) {
    instancia = TravarInstalacao();
    if (!instancia) return 1;
  }

  // An error while the data module or the service object is created is
  // recorded, and the process goes on without timers.
  // The first such error is also the cause the operator's switches show.
  std::string erro_inicio;
  const auto registrar = [&erro_inicio](const std::exception_ptr& erro) {
    const std::string texto = TextoErro(erro);
    if (erro_inicio.empty()) erro_inicio = texto;
    RegistrarErroEvento(NomeArquivoExecutavel(), texto);
    try {
      GravarLog(texto);
    } catch (...) {
    }
  };
  try {
    dm = std::make_unique<Tdm>();
    LigarTemporizadores(*dm);
  } catch (...) {
    dm.reset();
    registrar(std::current_exception());
  }
  lumiford_gerenciamento = std::make_unique<Tlumiford_gerenciamento>();
  try {
    lumiford_gerenciamento->ServiceCreate();
  } catch (...) {
    registrar(std::current_exception());
  }
  if (registrarFluxos) registrarFluxos();

  if (executa_fluxos && VerificacaoCertificadoDesligada()) {
    try {
      GravarLog("Aviso: VerificarCertificado=Nao: o certificado do web service não é verificado.");
    } catch (...) {
    }
  }

  int codigo = 0;
  if (opcoes.Instalar)
    codigo = lumiford_gerenciamento->Instalar(opcoes.Silencioso);
  else if (opcoes.Desinstalar)
    codigo = lumiford_gerenciamento->Desinstalar(opcoes.Silencioso);
  else if (opcoes.UmaVez)
    codigo = ExecutarUmaVez(erro_inicio);
  else if (opcoes.Verificar)
    codigo = VerificarInstalacao(erro_inicio);
  else
    codigo = lumiford_gerenciamento->ExecutarComoServico();

  dm.reset();
  EncerrarMotorBanco();
  LiberarMemoria();
  return codigo;
}
