// Small text, number and date routines shared by the host and the flows.
#pragma once

#include <cstdint>
#include <string>

#include "global/datas.h"

std::string SomenteNumeros(const std::string& texto);
std::string FormatarCnpjCpf(const std::string& texto);
std::string FormatarCep(const std::string& texto);
std::string TrocarPontoVirgula(const std::string& texto);
std::string ZerosEsquerda(const std::string& texto, int tamanho);
std::string NomeMes(int mes);
int NumeroMes(const std::string& nome);
DataHora UltimoDiaMes(DataHora valor);

// Person code of the lowest CAD_PESSOA with exactly this (punctuated) CNPJ_CPF, 0 when none.
std::int32_t BuscarPessoa(const std::string& cnpj_cpf);

// Integer conversions as the system does them: decimal, optional sign, whole
// text; anything else throws with "'%s' is not a valid integer value".
std::int64_t TextoParaInteiro(const std::string& texto);
std::string Trim(const std::string& texto);  // drops characters of code 32 or below at both ends
