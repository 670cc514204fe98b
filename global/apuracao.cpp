#include "global/apuracao.h"

#include "global/funcoes.h"

namespace {

// "1 fatura informada", "2 faturas informadas": the noun and its adjective
// agree with the number.
std::string Quantos(std::size_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

void ContagemFluxo::Falha(const std::string& motivo) {
  ++erros_registrados;
  if (primeiro_motivo.empty()) primeiro_motivo = EmUmaLinha(motivo);
}

ContagemFluxo& Apuracao::Iniciar(FluxoApurado fluxo) {
  ContagemFluxo& c = De(fluxo);
  c.iniciado = true;
  em_curso_ = &c;
  return c;
}

ContagemFluxo* Apuracao::EmCurso() { return em_curso_ && !em_curso_->concluido ? em_curso_ : nullptr; }

bool Apuracao::HouveErro() const {
  for (const auto& c : contagens_)
    if (c.erros_registrados > 0 || c.com_erro > 0 || (c.iniciado && !c.concluido)) return true;
  return false;
}

Apuracao& ApuracaoAtual() {
  static Apuracao apuracao;
  return apuracao;
}

void RegistrarFalhaNoFluxo(const std::string& motivo) {
  if (ContagemFluxo* c = ApuracaoAtual().EmCurso()) c->Falha(motivo);
}

std::string ResumoFluxo(FluxoApurado fluxo, const ContagemFluxo& c, bool parada) {
  std::string rotulo;
  std::string texto;
  const std::string nao_encontrados =
      c.nao_encontrados == 0 ? "" : ", " + Quantos(c.nao_encontrados, "arquivo não encontrado", "arquivos não encontrados");
  switch (fluxo) {
    case FluxoApurado::FaturasPagas:
      rotulo = "Faturas pagas";
      texto = Quantos(c.feitos, "informada", "informadas");
      break;
    case FluxoApurado::Boletos:
      rotulo = "Boletos";
      texto = Quantos(c.feitos, "enviado", "enviados") + nao_encontrados;
      break;
    case FluxoApurado::NotasServico:
      rotulo = "Notas de serviço";
      texto = Quantos(c.feitos, "enviada", "enviadas") + nao_encontrados;
      break;
    case FluxoApurado::Faturamento:
      rotulo = "Faturamento";
      texto = c.sem_trabalho ? "nenhuma requisição pendente"
                             : Quantos(c.feitos, "fatura importada", "faturas importadas") + ", " +
                                   Quantos(c.clientes_cadastrados, "cliente cadastrado", "clientes cadastrados");
      break;
  }
  if (!c.iniciado) return rotulo + ": não rodou";
  if (!c.sem_trabalho || c.com_erro > 0) texto += ", " + std::to_string(c.com_erro) + " com erro";
  if (!c.concluido) texto += parada ? "; interrompido pela parada pedida" : "; interrompido por um erro";
  if (!c.primeiro_motivo.empty()) texto += " (" + c.primeiro_motivo + ")";
  return rotulo + ": " + texto;
}
