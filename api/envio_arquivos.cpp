#include "api/envio_arquivos.h"

#include <stdexcept>

#include "api/chamada.h"
#include "api/multipart.h"
#include "api/ufuncoes_api.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/json.h"
#include "global/log.h"
#include "global/parada.h"
#include "global/uglobal.h"
#include "plataforma/arquivos.h"

std::pair<Data, Data> JanelaEmissao() {
  const DataHora agora = Agora();
  const auto mes = MesAnterior(DataDe(agora));
  const std::string texto_inicio = "01/" + ZerosEsquerda(std::to_string(static_cast<unsigned>(mes.month())), 2) +
                                   "/" + std::to_string(static_cast<int>(mes.year()));
  const auto inicio = LerData(texto_inicio);
  if (!inicio) throw std::runtime_error("'" + texto_inicio + "' is not a valid date");
  return {*inicio, DataDe(UltimoDiaMes(agora))};
}

Consulta& AbrirSelecaoDaJanela(const char* sql) {
  const auto [inicio, fim] = JanelaEmissao();
  auto& q = dm->FBqraux1;
  q.Close();
  q.SetSQL(sql);
  q.ParamByName("EMPRESA").AsInteger(CodigoEmpresa);
  q.ParamByName("DATA_INICIAL").AsDate(inicio);
  q.ParamByName("DATA_FINAL").AsDate(fim);
  q.Open();
  Registros.clear();
  return q;
}

void LogarLinhaSelecionada(const char* const rotulos[], const std::vector<std::string>& linha) {
  if (!EmDebug()) return;
  for (std::size_t i = 0; i < linha.size(); ++i) GravarLog(rotulos[i] + linha[i]);
}

void EnviarArquivosRegistros(
    const std::function<EnvioArquivo(const std::vector<std::string>& linha)>& preparar,
    const std::function<void(const std::vector<std::string>& linha)>& marcar, ContagemFluxo& contagem) {
  for (std::size_t seq = 0; seq < Registros.size(); ++seq) {
    PararSePedido();
    const auto& linha = Registros[seq];
    const EnvioArquivo envio = preparar(linha);
    LogarEnvioArquivo(seq, envio.url, envio.caminho);

    if (!ArquivoExiste(envio.caminho)) {
      GravarLog("Arquivo não encontrado: " + envio.caminho);
      ++contagem.nao_encontrados;
      continue;
    }

    std::string resposta;
    {
      // A file that is there but cannot be opened ends the run: the timer
      // records it and the whole run is tried again later.
      CorpoMultipart corpo;
      corpo.AdicionarArquivo("arquivo", envio.caminho, "application/octet-stream");
      resposta = PostarMultipart(dm->IdHTTP, envio.url, corpo);
    }  // the file is closed before the reply is applied

    try {
      if (EmDebug()) GravarLog(resposta);
      DocumentoJson documento;
      if (!LerDocumentoJson(resposta, documento)) throw ErroJson("Invalid JSON");
      const bool sucesso = LerLogicoJson(documento, "sucess");
      const std::string mensagem = LerTextoJson(documento, "message");
      if (sucesso) {
        marcar(linha);
        ++contagem.feitos;
      } else {
        GravarLog("Erro ao enviar arquivo. " + mensagem);
        ++contagem.com_erro;
        contagem.Falha("Erro ao enviar arquivo. " + mensagem);
      }
    } catch (const std::exception& erro) {
      GravarLogComMotivo("Erro ao ler a resposta da API.", erro);
      ++contagem.com_erro;
      contagem.Falha(erro);
    }
    PausaAposPost();
  }
}
