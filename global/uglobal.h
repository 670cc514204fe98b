// Process-wide state of the service: the settings read from lumiford.ini and
// the connection state. Set on the main thread at start, read afterwards.
#pragma once

#include <cstdint>
#include <string>

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

// Returns every global above, and a stop asked for (global/parada.h), to its
// start value (tests start from a clean process state).
void RestaurarGlobais();
