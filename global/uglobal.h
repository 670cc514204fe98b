// Process-wide state of the service: the settings read from lumiford.ini and
// the connection state. Set on the main thread at start, read afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern std::int32_t CodigoEmpresa;
extern std::string DiretorioSistema;
extern std::string DiretorioServidor;
extern std::string NomeServidor;
extern std::string ModoDebug;
extern std::string ArquivoConfiguracao;
extern std::string DiretorioExe;
extern bool ErroConexao;
extern std::string MensagemErroConexao;

// TLS keys of section "Lumiford" for suppliers with a private certificate.
extern std::string CertificadoCA;          // "CertificadoCA": PEM file of extra trusted CAs
extern std::string VerificarCertificado;   // "VerificarCertificado": exactly "Nao" turns verification off

// Debug lines are written only when ModoDebug is exactly "Sim".
inline bool EmDebug() { return ModoDebug == "Sim"; }

// Reads lumiford.ini beside the executable into the globals above, creates
// the Req directory and writes the debug banner.
void LerConfiguracao();

// What in lumiford.ini looks like a mistake: a key that is not one of ours
// (a typing error), Servidor empty, Empresa missing or 0, a value that seems
// to carry a comment, a file in UTF-16 without its byte-order mark. One
// text each, for the operator; the service reads the file as it always does.
std::vector<std::string> AvisosConfiguracao(const std::string& bytes);
// The same for ArquivoConfiguracao (nothing when it is not there).
std::vector<std::string> AvisosConfiguracao();

// Returns every global above, and a stop asked for (global/parada.h), to its
// start value (tests start from a clean process state).
void RestaurarGlobais();
