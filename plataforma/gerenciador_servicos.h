// The service manager: registering and removing the service. On Linux a
// systemd unit stands for the registration; the callers see the same steps a
// service control manager offers (open, create, describe, delete).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

// Registration data: an automatic-start service in its own process, running
// under the system account, with no dependencies.
struct RegistroServico {
  std::string Nome;          // the key under the service manager
  std::string NomeExibicao;  // the name shown to operators
  std::string Executavel;    // full path of the executable, no arguments
};

// An operating-system error. Its text reads "System Error.  Code: <n>." then
// CR LF and the system's message for that code.
class ErroSistema : public std::runtime_error {
 public:
  ErroSistema(int codigo, const std::string& mensagem);
  explicit ErroSistema(int codigo);  // the system's message for the code
  int Codigo() const { return codigo_; }

 private:
  int codigo_;
};

// The service manager, opened with all access. Every operation throws
// ErroSistema on failure.
class GerenciadorServicos {
 public:
  GerenciadorServicos();
  ~GerenciadorServicos();
  GerenciadorServicos(const GerenciadorServicos&) = delete;
  GerenciadorServicos& operator=(const GerenciadorServicos&) = delete;

  // Fails when a service of that name exists already.
  void CriarServico(const RegistroServico& registro);
  // Fails when there is no service of that name.
  void ExcluirServico(const std::string& nome);
  // The description shown with the service; false when the service is not
  // there (the description is then not written).
  bool GravarDescricao(const std::string& nome, const std::string& descricao);
  // While the service runs, the command an operator types to stop it; empty
  // when it is not running. A process of `executavel` (the service's program)
  // started outside the service manager counts as running too. Never throws:
  // what cannot be asked is taken as not running.
  std::string ComandoParada(const std::string& nome, const std::string& executavel);

  // For the operator after an install: where the service's registration
  // lies (the unit file on Linux), and whether it starts with the system
  // (on Linux: the unit was enabled, which needs systemd running).
  std::string LocalRegistro(const std::string& nome) const;
  bool IniciaComSistema() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
