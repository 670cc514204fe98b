#include "servico/operador.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "api/chamada.h"
#include "api/http.h"
#include "dm/agendador.h"
#include "dm/tabelas.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/servidor_banco.h"
#include "global/uglobal.h"
#include "plataforma/arquivos.h"
#include "plataforma/caminhos.h"
#include "plataforma/controle_servico.h"
#include "plataforma/executavel.h"
#include "plataforma/registro_eventos.h"
#include "servico/uservico.h"

namespace {

// One handler run; an error that leaves it is reported as the service does.
bool Rodar(void (Tdm::*tratador)()) {
  try {
    (dm.get()->*tratador)();
    return true;
  } catch (const ParadaSolicitada&) {
    return false;
  } catch (...) {
    const std::string texto = TextoErro(std::current_exception());
    RegistrarErroEvento(NomeArquivoExecutavel(), texto);
    // The flow it left shows it on its summary line.
    if (ContagemFluxo* fluxo = ApuracaoAtual().EmCurso()) fluxo->Falha(texto);
    return false;
  }
}

// One line per item: the line breaks inside a value (Firebird's texts have
// several) become one blank each; an address shows no access token whole.
void Linha(const std::string& rotulo, const std::string& texto) {
  std::cout << rotulo << EmUmaLinha(MascararToken(texto)) << '\n';
}

// Firebird's text ends in line breaks that would leave blank lines behind.
std::string SemQuebraFinal(std::string texto) {
  while (!texto.empty() && (texto.back() == '\r' || texto.back() == '\n')) texto.pop_back();
  return texto;
}

// The company record that could not be read at start had its error logged
// only; opening it again gives the reason, or the record if it reads now.
std::optional<std::string> EmpresaIndisponivel() {
  if (dm->FBqrempresa.Active()) return std::nullopt;
  try {
    AbrirEmpresa();
    return std::nullopt;
  } catch (...) {
    dm->FBqrempresa.Close();
    return SemQuebraFinal(TextoErro(std::current_exception()));
  }
}

constexpr const char* kSemModuloDados = "o módulo de dados não foi criado";

// Why the data module is missing, when its creation said so.
std::string SemModuloDados(const std::string& motivo) {
  return motivo.empty() ? std::string(kSemModuloDados) : std::string(kSemModuloDados) + ": " + EmUmaLinha(motivo);
}

// One line per flow of the run, then whether the run went through: an error
// any flow logged (a transport failure, a refused document, a database
// error), a flow that an error left or that did not start at all. A file the
// ERP has not written yet is waiting, not a failure.
bool ResumirExecucao(bool parada) {
  const auto& empresa = dm->FBqrempresa;
  if (!empresa.Active() || empresa.Eof()) {
    Linha("", "A empresa " + std::to_string(CodigoEmpresa) +
                  " não está cadastrada em CAD_EMPRESA: nada foi enviado nem importado.");
    return false;
  }
  const std::string integracao = empresa.FieldByName("USA_INTEGRACAO_API_FINANCEIRO").AsString();
  if (integracao != tabelas::cad_empresa::IntegracaoLigada) {
    Linha("", "Integração desligada para a empresa (USA_INTEGRACAO_API_FINANCEIRO = '" + integracao +
                  "'): nada foi enviado nem importado.");
    return true;
  }
  Apuracao& apuracao = ApuracaoAtual();
  // A run whose flows did not start (a connection lost since the start) was
  // logged with its reason, which the lines repeat.
  std::string motivo_sem_inicio;
  if (ErroConexao)
    motivo_sem_inicio = "Erro ao conectar na Base de Dados: " + SemQuebraFinal(MensagemErroConexao);
  else if (!dm->ErroEmpresa.empty())
    motivo_sem_inicio = LinhaFalhaEmpresa + SemQuebraFinal(dm->ErroEmpresa);
  bool ok = !apuracao.HouveErro();
  for (const FluxoApurado fluxo :
       {FluxoApurado::FaturasPagas, FluxoApurado::Boletos, FluxoApurado::NotasServico, FluxoApurado::Faturamento}) {
    const ContagemFluxo& c = apuracao.De(fluxo);
    std::string linha = ResumoFluxo(fluxo, c, parada);
    if (!c.iniciado && !parada) {
      ok = false;
      if (!motivo_sem_inicio.empty()) linha += " (" + motivo_sem_inicio + ")";
    }
    Linha("", linha);
  }
  return ok;
}

// Which way the ERP's database is reached: through which server and
// protocol, or by the engine inside this process.
std::string AcessoAoBanco() {
  if (dm->Firebird.ViaMotorLocal())
    return "motor embutido, neste processo (nenhum servidor Firebird local respondeu)";
  std::string protocolo;
  try {
    Consulta q(dm->Firebird);
    q.SetSQL("SELECT MON$REMOTE_PROTOCOL FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION");
    q.Open();
    protocolo = q.FieldByName("MON$REMOTE_PROTOCOL").AsString();
  } catch (const std::exception& e) {
    protocolo = std::string("protocolo desconhecido: ") + e.what();
  }
  const std::string servidor = DecomporServidor(DiretorioServidor).servidor;
  return (servidor.empty() ? std::string("servidor Firebird local") : "servidor Firebird em " + servidor) + " (" +
         protocolo + ")";
}

// The folders the uploads read their files from, on this machine.
void LinhaPasta(const std::string& rotulo, const std::string& pasta) {
  std::error_code erro;
  Linha(rotulo, pasta + (std::filesystem::is_directory(pasta, erro) ? "" : " (não encontrada)"));
}

}  // namespace

int ExecutarUmaVez(const std::string& erro_inicio) {
  // Without the data module or the company record no flow can run: that is
  // a failure for whoever asked for the run, not an empty success.
  if (!dm) {
    std::cerr << "Erro: " << MascararToken(SemModuloDados(erro_inicio)) << "." << std::endl;
    return 1;
  }
  if (ErroConexao) {
    std::cerr << "Erro ao conectar na Base de Dados: " << SemQuebraFinal(MensagemErroConexao) << std::endl;
    return 1;
  }
  if (const auto motivo = EmpresaIndisponivel()) {
    std::cerr << LinhaFalhaEmpresa << *motivo << std::endl;
    return 1;
  }
  ApuracaoAtual().Zerar();
  bool timer = false, requisicao = false;
  {
    // TERM and INT end the run at the next row boundary, as they stop the service.
    EscutaParada escuta(PedirParada);
    timer = Rodar(&Tdm::TimerTimer);
    requisicao = !ParadaPedida() && Rodar(&Tdm::Timer_RequisicaoTimer);
  }
  const bool resumo_ok = ResumirExecucao(ParadaPedida());
  std::cout.flush();
  if (ParadaPedida()) {
    const std::string linha = std::string(ParadaSolicitada().what()) + " O que faltou fica para a próxima execução.";
    std::cerr << linha << std::endl;
    try {
      GravarLog(linha);
    } catch (...) {
    }
    return 1;
  }
  return timer && requisicao && resumo_ok ? 0 : 1;
}

int VerificarInstalacao(const std::string& erro_inicio) {
  std::string motivo;
  const auto falhou = [&motivo](const std::string& m) {
    if (motivo.empty()) motivo = m;
  };
  const std::string sep(1, SeparadorCaminho);

  Linha("Configuração.......: ", ArquivoConfiguracao + (ArquivoExiste(ArquivoConfiguracao) ? "" : " (não encontrado)"));
  if (!ArquivoExiste(ArquivoConfiguracao)) falhou("arquivo lumiford.ini não encontrado");
  // Told, never a failure by themselves: the service reads the file as it is.
  const std::vector<std::string> avisos = AvisosConfiguracao();
  for (const auto& aviso : avisos) Linha("Aviso..............: ", aviso);
  Linha("Empresa............: ", std::to_string(CodigoEmpresa));
  Linha("Banco de dados.....: ", DiretorioServidor + sep + "DADOS.FDB");
  Linha("Histórico..........: ", DiretorioServidor + sep + "HISTORICO_SISTEMA.FDB");
  LinhaPasta("Boletos............: ", PastaArquivosServidor() + sep + "Boleto");
  LinhaPasta("Notas de serviço...: ", PastaArquivosServidor() + sep + "NFSe");

  if (!dm || ErroConexao) {
    Linha("Conexão............: ", "ERRO: " + (dm ? SemQuebraFinal(MensagemErroConexao) : SemModuloDados(erro_inicio)));
    falhou(dm ? "não foi possível conectar aos bancos de dados" : kSemModuloDados);
  } else {
    Linha("Conexão............: ", "OK");
    Linha("Acesso ao banco....: ", AcessoAoBanco());
    auto& empresa = dm->FBqrempresa;
    if (const auto motivo = EmpresaIndisponivel()) {
      Linha("Cadastro da empresa: ", "ERRO: " + *motivo);
      falhou("o cadastro da empresa não pôde ser lido");
    } else if (empresa.Eof()) {
      Linha("Cadastro da empresa: ", "não encontrado");
      falhou("a empresa " + std::to_string(CodigoEmpresa) + " não está cadastrada em CAD_EMPRESA");
    } else {
      const std::string integracao = empresa.FieldByName("USA_INTEGRACAO_API_FINANCEIRO").AsString();
      const bool ligada = integracao == tabelas::cad_empresa::IntegracaoLigada;
      Linha("Integração.........: ",
            ligada ? "ligada" : "desligada (USA_INTEGRACAO_API_FINANCEIRO = '" + integracao + "')");
      if (!ligada) falhou("a integração com a API está desligada para a empresa");

      const double minutos = empresa.FieldByName("INTERVALO_REC_FINANCEIRO").AsFloat();
      const std::uint32_t ms = IntervaloEmMilissegundos(minutos);
      Linha("Intervalo..........: ", empresa.FieldByName("INTERVALO_REC_FINANCEIRO").AsString() + " minuto(s) = " +
                                         std::to_string(ms) + " ms" + (ms == 0 ? " (o envio nunca roda)" : ""));
      if (ms == 0) falhou("INTERVALO_REC_FINANCEIRO dá um intervalo de 0 ms");

      const std::string base = EnderecoBase();
      const std::string token = TokenApi();
      Linha("Web service........: ", base + "?token_erp=" + CodificarValor(token));
      if (token.empty()) falhou("API_FORNECEDOR_TOKEN está vazio");
      try {
        TIdHTTP http;
        http.ConnectTimeout(dm->IdHTTP.ConnectTimeout());
        http.ReadTimeout(dm->IdHTTP.ReadTimeout());
        Linha("Alcance............: ", "OK, " + http.TestarConexao(base + "/"));
      } catch (const std::exception& e) {
        Linha("Alcance............: ", std::string("ERRO: ") + e.what());
        falhou("o web service não foi alcançado");
      }
    }
  }

  if (motivo.empty()) {
    Linha("Resultado..........: ",
          avisos.empty() ? std::string("OK")
                         : "OK, com " + std::to_string(avisos.size()) + (avisos.size() == 1 ? " aviso" : " avisos"));
    return 0;
  }
  Linha("Resultado..........: ", "ERRO: " + motivo);
  std::cerr << "Verificação falhou: " << motivo << std::endl;
  return 1;
}

void MostrarAjuda() {
  std::cout <<
      "lumiford_financeiro: integração financeira da empresa configurada em lumiford.ini\n"
      "(ao lado do executável). Sem chaves, roda como serviço em primeiro plano, como o\n"
      "systemd o inicia.\n"
      "\n"
      "Chaves (depois de \"/\" ou \"-\", em qualquer caixa):\n"
      "  INSTALL     registra o serviço no systemd (unidade lumiford_financeiro_NNN.service)\n"
      "  UNINSTALL   remove o serviço\n"
      "  SILENT      com INSTALL ou UNINSTALL: não mostra a mensagem de sucesso\n"
      "  ONCE        roda uma vez os envios (faturas pagas, boletos, notas de serviço) e a\n"
      "              importação do faturamento, mostra uma linha por envio e termina;\n"
      "              código 0 sem erros, 1 quando algum envio registrou erro;\n"
      "              TERM/INT a interrompem na próxima linha (código 1)\n"
      "  CHECK       verifica configuração (e avisa do que parece engano nela), bancos,\n"
      "              cadastro da empresa e o acesso ao web service (só conexão e TLS);\n"
      "              código 0 quando está tudo pronto\n"
      "  HELP        esta ajuda (também -h e --help)\n"
      "\n"
      "Sinais no modo serviço (cada um escreve sua linha em Log.txt): TERM/INT param\n"
      "(a linha em curso termina; \"Service - Stop\"), USR1 pausa (\"Service - Pause\"),\n"
      "USR2 continua (\"Service - Continue\"), HUP informa o estado de novo\n"
      "(\"Service - Status: Running\" ou \"Service - Status: Paused\").\n"
      "Registro de atividades: Log.txt ao lado do executável.\n";
}
