#include "api/chamada.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include "api/http.h"
#include "api/multipart.h"
#include "dm/udm.h"
#include "global/apuracao.h"
#include "global/funcoes.h"
#include "global/log.h"
#include "global/uglobal.h"
#include "plataforma/executavel.h"
#include "plataforma/registro_eventos.h"

namespace {

std::atomic<long long> pausa_apos_post_ms{250};

// Closes the client's connection when the call ends, also when a log line
// in an error handler fails.
struct FechaConexao {
  TIdHTTP& http;
  ~FechaConexao() { http.Disconnect(); }
};

template <class Enviar>
std::string PostarComErros(TIdHTTP& http, Enviar&& enviar) {
  FechaConexao fecha{http};
  try {
    return enviar();
  } catch (const ErroHttpStatus& erro) {
    GravarLog("Erro.: " + erro.Corpo());
    RegistrarFalhaNoFluxo(MascararToken(erro.what()));
  } catch (const std::exception& erro) {
    GravarLogComMotivo("Erro Desconhecido.", erro);
    RegistrarFalhaNoFluxo(MascararToken(erro.what()));
    // The log keeps its fixed text; the reason (a refused certificate, a
    // time-out) goes to the event log when debugging.
    if (EmDebug()) RegistrarErroEvento(NomeArquivoExecutavel(), erro.what());
  }
  return {};
}

}  // namespace

std::string EnderecoBase(const std::string& conexao, const std::string& endereco) {
  return conexao + "://" + endereco;
}

std::string EnderecoBase() {
  return EnderecoBase(dm->FBqrempresa.FieldByName("API_FORNECEDOR_CONEXAO").AsString(),
                      dm->FBqrempresa.FieldByName("API_FORNECEDOR_ENDERECO").AsString());
}

std::string TokenApi() { return dm->FBqrempresa.FieldByName("API_FORNECEDOR_TOKEN").AsString(); }

std::string CodificarValor(const std::string& valor) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string saida;
  saida.reserve(valor.size());
  for (const char c : valor) {
    const auto b = static_cast<unsigned char>(c);
    const bool codificar = b <= 0x20 || b >= 0x7F || c == '&' || c == '=' || c == '#' || c == '+' || c == '%';
    if (codificar) {
      saida += '%';
      saida += kHex[b >> 4];
      saida += kHex[b & 0x0F];
    } else {
      saida += c;
    }
  }
  return saida;
}

void PrepararEnvioJson(TIdHTTP& http, const std::string& metodo) {
  http.Request.Method = metodo;
  http.Request.ContentType = "application/json";
  http.Request.ContentEncoding = "UTF-8";
  http.Response.ContentType = "application/json";
  http.Response.CharSet = "UTF-8";
}

void PrepararEnvioMultipart(TIdHTTP& http) {
  http.Request.Method = "POST";
  http.Request.ContentType = "multipart/form-data";
  http.Request.ContentEncoding = "UTF-8";
  http.Response.ContentType = "application/json";
  http.Response.CharSet = "UTF-8";
}

std::string PostarJson(TIdHTTP& http, const std::string& url, const std::string& corpo) {
  PrepararEnvioJson(http, "POST");
  return PostarComErros(http, [&] { return http.Post(url, corpo); });
}

std::string BuscarJson(TIdHTTP& http, const std::string& url) {
  if (EmDebug()) {
    GravarLog("");
    GravarLog("GET URL.......: " + url);
  }
  std::string resposta;
  try {
    resposta = http.Get(url);
  } catch (const ErroHttpStatus& erro) {
    GravarLog("Erro.: " + erro.Corpo());
    RegistrarFalhaNoFluxo(MascararToken(erro.what()));
  }
  if (EmDebug()) {
    GravarLog("Retorno JSON..: " + resposta);
    GravarLog("");
  }
  return resposta;
}

void LogarEnvioArquivo(std::size_t seq, const std::string& url, const std::string& caminho) {
  if (!EmDebug()) return;
  GravarLog("Seq:      " + std::to_string(seq));
  GravarLog("Endereço: " + url);
  GravarLog("Arquivo:  " + caminho);
}

std::string PostarMultipart(TIdHTTP& http, const std::string& url, CorpoMultipart& corpo) {
  return PostarComErros(http, [&] { return http.Post(url, corpo); });
}

void PausaAposPost() {
  std::this_thread::sleep_for(std::chrono::milliseconds(pausa_apos_post_ms.load()));
}

std::chrono::milliseconds DefinirPausaAposPost(std::chrono::milliseconds pausa) {
  return std::chrono::milliseconds(pausa_apos_post_ms.exchange(pausa.count()));
}
