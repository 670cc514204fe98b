#include "dm/agendador.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"
#include "plataforma/memoria.h"

std::vector<Fluxo>& FluxosTimer() {
  static std::vector<Fluxo> fluxos;
  return fluxos;
}

std::vector<Fluxo>& FluxosRequisicao() {
  static std::vector<Fluxo> fluxos;
  return fluxos;
}

std::uint32_t IntervaloEmMilissegundos(double minutos) {
  // The default rounding mode rounds halves to the even neighbour.
  const double ms = std::nearbyint(minutos * 60 * 1000);
  if (!std::isfinite(ms) || ms < -0x1p63 || ms >= 0x1p63) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(ms)));
}

namespace {

const char* const LinhaFalhaConexao = "Erro ao conectar na Base de Dados:";
const char* const LinhaConexaoRestabelecida = "Conexão com a Base de Dados restabelecida.";

// The failure text last written to the log, so that a retry that fails the
// same way does not repeat it.
std::string& UltimaFalhaRegistrada() {
  static std::string texto;
  return texto;
}

void RegistrarFalhaConexao() {
  if (MensagemErroConexao == UltimaFalhaRegistrada()) return;
  // Counted as written only once it is: a log that cannot be written now
  // gets the line at a later retry.
  GravarLog(std::string(LinhaFalhaConexao) + "\r" + MensagemErroConexao);
  UltimaFalhaRegistrada() = MensagemErroConexao;
}

// The company record is a snapshot; a record that came back empty reads as
// null in every column.
std::string TextoEmpresa(const Consulta& empresa, const char* coluna) {
  if (!empresa.Active() || empresa.Eof()) return "";
  return empresa.FieldByName(coluna).AsString();
}

double NumeroEmpresa(const Consulta& empresa, const char* coluna) {
  if (!empresa.Active() || empresa.Eof()) return 0;
  return empresa.FieldByName(coluna).AsFloat();
}

bool Responde(Conexao& conexao) {
  if (!conexao.Connected()) return false;
  try {
    Consulta teste(conexao);
    teste.SetSQL("SELECT 1 FROM RDB$DATABASE");
    teste.Open();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Both connections made anew (ConectarBancos closes them first): one log
// line when they are back, the failure line (once per text) when not.
bool Reconectar(Tdm& modulo) {
  if (modulo.ConectarBancos()) {
    UltimaFalhaRegistrada().clear();
    GravarLog(LinhaConexaoRestabelecida);
    return true;
  }
  RegistrarFalhaConexao();
  return false;
}

// A connection lost while running is re-established before the flows run.
bool ConexoesProntas(Tdm& modulo) {
  if (Responde(modulo.Firebird) && Responde(modulo.Historico_Sistema)) return true;
  return Reconectar(modulo);
}

// Steps 3 to 5 of both handlers: the flows in order when the integration is
// on, then trim and enable, also when a flow fails; the error then goes on to
// the main loop, which writes it to the event log.
void Rodada(Tdm& modulo, const std::vector<Fluxo>& registrados, Temporizador& timer) {
  try {
    if (TextoEmpresa(modulo.FBqrempresa, "USA_INTEGRACAO_API_FINANCEIRO") == tabelas::cad_empresa::IntegracaoLigada) {
      const std::vector<Fluxo> fluxos = registrados;  // a flow may register others
      if (!fluxos.empty() && ConexoesProntas(modulo)) {
        for (const auto& fluxo : fluxos) {
          PararSePedido();  // no flow starts once a stop is asked for
          fluxo();
        }
      }
    }
  } catch (...) {
    LiberarMemoria();
    timer.SetEnabled(true);
    throw;
  }
  LiberarMemoria();
  timer.SetEnabled(true);
}

Temporizador& TemporizadorReconexao() {
  static Temporizador timer;
  return timer;
}

void TentarReconectar() {
  auto& timer = TemporizadorReconexao();
  timer.SetEnabled(false);
  if (!dm) return;
  try {
    if (Reconectar(*dm)) {
      AbrirEmpresa();
      return;
    }
  } catch (...) {
    timer.SetEnabled(true);
    throw;
  }
  timer.SetEnabled(true);
}

}  // namespace

void Tdm::TimerTimer() {
  Timer.SetEnabled(false);
  Timer.SetInterval(IntervaloEmMilissegundos(NumeroEmpresa(FBqrempresa, "INTERVALO_REC_FINANCEIRO")));
  Rodada(*this, FluxosTimer(), Timer);
}

void Tdm::Timer_RequisicaoTimer() {
  Timer_Requisicao.SetEnabled(false);
  Timer_Requisicao.SetInterval(IntervaloRequisicaoMs);
  Rodada(*this, FluxosRequisicao(), Timer_Requisicao);
}

void LigarTemporizadores(Tdm& modulo) {
  modulo.Timer.OnTimer = [&modulo] { modulo.TimerTimer(); };
  modulo.Timer_Requisicao.OnTimer = [&modulo] { modulo.Timer_RequisicaoTimer(); };
}

std::uint32_t IntervaloReconexaoMs() {
  if (const char* texto = std::getenv("LUMIFORD_RECONEXAO_MS")) {
    char* fim = nullptr;
    unsigned long valor = std::strtoul(texto, &fim, 10);
    if (fim != texto && *fim == '\0' && valor > 0 && valor <= std::numeric_limits<std::uint32_t>::max())
      return static_cast<std::uint32_t>(valor);
  }
  return 60000;
}

void IniciarReconexao() {
  if (!ErroConexao) return;
  // DataModuleCreate has logged this failure already.
  UltimaFalhaRegistrada() = MensagemErroConexao;
  auto& timer = TemporizadorReconexao();
  timer.OnTimer = TentarReconectar;
  timer.SetInterval(IntervaloReconexaoMs());
  timer.SetEnabled(true);
}
