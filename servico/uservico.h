// The service host: the service object, its naming after the company code,
// its lifecycle handlers, and the install, uninstall and service modes.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The file beside the executable that the running copy holds locked.
inline constexpr const char* NomeTravaInstancia = "lumiford_financeiro.trava";

// The text shown with the registered service.
inline constexpr const char* DescricaoServico = "Lumiford Vavevivi - Financeiro";

class Tlumiford_gerenciamento {
 public:
  std::string Name;         // "lumiford_financeiro_" + padded company code
  std::string DisplayName;  // "Lumiford " + padded company code + " - Financeiro"

  void ServiceCreate();
  void ConfigurarServico();

  void ServiceAfterInstall();
  void ServiceAfterUninstall();
  void ServiceStart(bool& Started);
  void ServiceStop(bool& Stopped);
  void ServicePause(bool& Paused);
  void ServiceContinue(bool& Continued);
  void ServiceShutdown();
  void ServiceInterrogate(bool Paused);  // the state asked for again

  // The three ways to run; each returns the process's exit code (0 or 1).
  // Install and uninstall show their result to the operator (success unless
  // silent, failure always; plataforma/mensagens.h).
  int Instalar(bool silencioso);
  int Desinstalar(bool silencioso);
  int ExecutarComoServico();
};

extern std::unique_ptr<Tlumiford_gerenciamento> lumiford_gerenciamento;

// The text of an error caught as std::exception_ptr.
std::string TextoErro(const std::exception_ptr& erro);

// A switch given after "/" or "-", in any letter case, in any argument.
bool ProcurarChave(const std::vector<std::string>& argumentos, std::string_view chave);

struct OpcoesLinhaComando {
  bool Instalar = false;
  bool Desinstalar = false;  // looked at only without Instalar
  bool Silencioso = false;
  bool UmaVez = false;      // ONCE
  bool Verificar = false;   // CHECK
  bool Ajuda = false;       // HELP, -h, --help
};
OpcoesLinhaComando LerLinhaComando(const std::vector<std::string>& argumentos);

// The program entry, in its order: the data module first, then the service
// object, then the flows are registered, then the chosen mode runs; the
// memory is trimmed at the end. Returns the exit code.
int ExecutarPrograma(int argc, char** argv, const std::function<void()>& registrarFluxos);
