// What one run of the flows did, counted by the flows as they go: the
// operator's run (/ONCE) prints it and takes its exit code from it. The
// service counts as well and never reads it; each run of the operator's
// starts from zero.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <string>

enum class FluxoApurado { FaturasPagas, Boletos, NotasServico, Faturamento };
inline constexpr std::size_t QuantidadeFluxosApurados = 4;

struct ContagemFluxo {
  bool iniciado = false;
  bool concluido = false;     // reached its end without an error leaving it
  bool sem_trabalho = false;  // the billing import: no request of the ERP waiting
  std::size_t feitos = 0;     // reported, sent or imported
  std::size_t nao_encontrados = 0;  // files the ERP has not written yet: waiting, no failure
  std::size_t com_erro = 0;         // items an error kept back
  std::size_t clientes_cadastrados = 0;
  std::size_t erros_registrados = 0;  // error lines the flow wrote to the log
  std::string primeiro_motivo;        // the cause of the first of them

  // An error the flow logged (and caught): counts for the exit code.
  void Falha(const std::string& motivo);
  void Falha(const std::exception& motivo) { Falha(std::string(motivo.what())); }
};

class Apuracao {
 public:
  // Marks the flow as started and gives its counters.
  ContagemFluxo& Iniciar(FluxoApurado fluxo);
  // The flow started last, while it has not reached its end; null otherwise.
  // What the flows share (the web-service calls) counts its errors there.
  ContagemFluxo* EmCurso();
  const ContagemFluxo& De(FluxoApurado fluxo) const { return contagens_[static_cast<std::size_t>(fluxo)]; }
  ContagemFluxo& De(FluxoApurado fluxo) { return contagens_[static_cast<std::size_t>(fluxo)]; }
  bool HouveErro() const;
  void Zerar() {
    contagens_ = {};
    em_curso_ = nullptr;
  }

 private:
  std::array<ContagemFluxo, QuantidadeFluxosApurados> contagens_{};
  ContagemFluxo* em_curso_ = nullptr;
};

// The tally of the current run (main thread only, as the flows are).
Apuracao& ApuracaoAtual();

// An error logged by a step the flows share, counted for the flow in course.
void RegistrarFalhaNoFluxo(const std::string& motivo);

// One line per flow in the log's Portuguese, "Faturas pagas: 2 informadas,
// 0 com erro"; a flow that did not start says so, and one that did not end
// whether a stop or an error ended it.
std::string ResumoFluxo(FluxoApurado fluxo, const ContagemFluxo& contagem, bool parada = false);
