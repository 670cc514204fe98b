// What the four web-service flows share around a call: the address from the
// company record, the encoding of parameter values, the request settings,
// the two error paths with their log lines, and the pause after a POST.
// Each function below writes only the lines named in its comment; the flows
// write the rest of theirs.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class CorpoMultipart;
class TIdHTTP;

// scheme + "://" + address: the base every endpoint text is appended to.
std::string EnderecoBase(const std::string& conexao, const std::string& endereco);
// The same from the company record (API_FORNECEDOR_CONEXAO, API_FORNECEDOR_ENDERECO).
std::string EnderecoBase();
// API_FORNECEDOR_TOKEN of the company record.
std::string TokenApi();

// A parameter value as it goes into the query: "&", "=", "#", "+", "%",
// blanks, controls and non-ASCII bytes are percent-encoded, nothing else.
std::string CodificarValor(const std::string& valor);

// Per-request settings: the method given, "application/json", "UTF-8".
void PrepararEnvioJson(TIdHTTP& http, const std::string& metodo);
// Per-request settings of the uploads: "POST", "multipart/form-data", "UTF-8".
void PrepararEnvioMultipart(TIdHTTP& http);

// POST of a JSON text. Logs "Erro.: " + body on an error status and
// "Erro Desconhecido." on any other failure, then returns empty text; closes
// the connection in every case.
std::string PostarJson(TIdHTTP& http, const std::string& url, const std::string& corpo);

// GET. Debug: a one-blank line and "GET URL.......: " + address before; "Retorno JSON..: " + reply and a one-blank line after. An
// error status logs "Erro.: " + body and gives an empty reply; a transport
// error is not caught here.
std::string BuscarJson(TIdHTTP& http, const std::string& url);

// Debug lines before an upload: "Seq:      ", "Endereço: ", "Arquivo:  ".
void LogarEnvioArquivo(std::size_t seq, const std::string& url, const std::string& caminho);

// POST of a multipart body, with the error lines and the closing of PostarJson.
std::string PostarMultipart(TIdHTTP& http, const std::string& url, CorpoMultipart& corpo);

// The pause after a POST's reply has been handled (250 ms). Tests of the
// flows may shorten it; returns the previous value.
void PausaAposPost();
std::chrono::milliseconds DefinirPausaAposPost(std::chrono::milliseconds pausa);
