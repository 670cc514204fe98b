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
const char* const LinhaPassouAoServidor = "Conexão com a Base de Dados passou ao servidor Firebird local.";

// The failure line last written to the log, so that a retry that fails the
// same way does not repeat it.
std::string& UltimaFalhaRegistrada() {
  static std::string linha;
  return linha;
}

void RegistrarFalha(const std::string& linha) {
  if (linha == UltimaFalhaRegistrada()) return;
  // Counted as written only once it is: a log that cannot be written now
  // gets the line at a later retry.
  GravarLog(linha);
  UltimaFalhaRegistrada() = linha;
}

std::string LinhaFalhaDeConexao() { return std::string(LinhaFalhaConexao) + "\r" + MensagemErroConexao; }

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

// The company record reads (the snapshot of the start stays as it was): a
// database that answers but whose company table cannot be read is not back.
void LerEmpresa(Tdm& modulo) {
  Consulta teste(modulo.Firebird);
  teste.SetSQL("SELECT CADASTRO FROM CAD_EMPRESA WHERE CADASTRO = :CADASTRO");
  teste.ParamByName("CADASTRO").AsInteger(CodigoEmpresa);
  teste.Open();
}

// While a connection goes through the engine inside this process, a local
// server that starts later gets it, so that the file is free for the ERP.
bool PassarAoServidor(Tdm& modulo) {
  try {
    const bool dados = modulo.Firebird.PassarAoServidor();
    const bool historico = modulo.Historico_Sistema.PassarAoServidor();
    if (dados || historico) GravarLog(LinhaPassouAoServidor);
    return true;
  } catch (const std::exception& e) {
    ErroConexao = true;
    MensagemErroConexao = std::string(e.what()) + "\r\r";
    RegistrarFalha(LinhaFalhaDeConexao());
    return false;
  }
}

// Both connections answer and the company record reads: when one was lost,
// both are made anew (one failure line per distinct text, and one line when
// everything is back); a company record never opened is opened, which arms
// the timers.
bool ConexoesProntas(Tdm& modulo) {
  if (!PassarAoServidor(modulo)) return false;
  const bool perdida = !Responde(modulo.Firebird) || !Responde(modulo.Historico_Sistema);
  if (perdida && !modulo.ConectarBancos()) {
    RegistrarFalha(LinhaFalhaDeConexao());
    return false;
  }
  const bool abrir = !modulo.FBqrempresa.Active();
  if (!perdida && !abrir) return true;
  try {
    if (abrir) {
      AbrirEmpresa();
    } else {
      LerEmpresa(modulo);
    }
  } catch (const std::exception& e) {
    modulo.ErroEmpresa = e.what();
    RegistrarFalha(LinhaFalhaEmpresa + modulo.ErroEmpresa);
    return false;
  }
  modulo.ErroEmpresa.clear();
  UltimaFalhaRegistrada().clear();
  GravarLog(LinhaConexaoRestabelecida);
  return true;
}

Temporizador& TemporizadorReconexao() {
  static Temporizador timer;
  return timer;
}

// The retry every 60 seconds runs while something is not right: a lost or
// failed connection, a company record not read, a connection through the
// engine inside this process.
bool PrecisaDeNovaTentativa(Tdm& modulo) {
  return !modulo.Firebird.Connected() || !modulo.Historico_Sistema.Connected() || modulo.Firebird.ViaMotorLocal() ||
         modulo.Historico_Sistema.ViaMotorLocal() || !modulo.FBqrempresa.Active() || !modulo.ErroEmpresa.empty();
}

void ArmarNovaTentativa(Tdm& modulo) {
  auto& timer = TemporizadorReconexao();
  if (!PrecisaDeNovaTentativa(modulo)) {
    timer.SetEnabled(false);
    return;
  }
  if (timer.Enabled()) return;  // the count already running is kept
  timer.SetInterval(IntervaloReconexaoMs());
  timer.SetEnabled(true);
}

void TentarReconectar() {
  auto& timer = TemporizadorReconexao();
  timer.SetEnabled(false);
  if (!dm) return;
  try {
    ConexoesProntas(*dm);
  } catch (...) {
    ArmarNovaTentativa(*dm);
    throw;
  }
  ArmarNovaTentativa(*dm);
}

// Steps 3 to 5 of both handlers: the flows in order when the integration is
// on, then trim and enable, also when a flow fails; the error then goes on to
// the main loop, which writes it to the event log.
void Rodada(Tdm& modulo, const std::vector<Fluxo>& registrados, Temporizador& timer) {
  // A connection lost during the run is tried again every 60 seconds from
  // its end, not only at the next run.
  const auto depois = [&] {
    if (!Responde(modulo.Firebird) || !Responde(modulo.Historico_Sistema)) {
      modulo.Firebird.Disconnect();
      modulo.Historico_Sistema.Disconnect();
    }
    ArmarNovaTentativa(modulo);
    LiberarMemoria();
    timer.SetEnabled(true);
  };
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
    depois();
    throw;
  }
  depois();
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
  if (!dm) return;
  // DataModuleCreate has logged the failure of the start already.
  if (ErroConexao)
    UltimaFalhaRegistrada() = LinhaFalhaDeConexao();
  else if (!dm->ErroEmpresa.empty())
    UltimaFalhaRegistrada() = LinhaFalhaEmpresa + dm->ErroEmpresa;
  TemporizadorReconexao().OnTimer = TentarReconectar;
  ArmarNovaTentativa(*dm);
}
