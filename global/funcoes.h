// Small text, number and date routines shared by the host and the flows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
// The same for the ERP's integer columns: a value beyond 32 bits is no valid integer either.
std::int32_t TextoParaInteiro32(const std::string& texto);
// The value of a hexadecimal digit in either case; -1 for any other character.
int DigitoHexa(char c);

std::string Trim(std::string_view texto);  // drops characters of code 32 or below at both ends
// A text of several lines (Firebird's messages have them) on one: each run of
// CR and LF becomes one blank, and those at the end are dropped.
std::string EmUmaLinha(std::string_view texto);

// The text with every token_erp value of an address in it masked: the
// token's first four characters as stored (its escapes read back) followed
// by "****" when it has more than eight, only "****" otherwise. Every output
// that may carry an address goes through it: Log.txt, the event log and the
// operator's lines.
std::string MascararToken(const std::string& texto);

// Case of the ASCII letters only; every other byte, UTF-8 included, stays.
std::string MinusculasAscii(std::string texto);
std::string MaiusculasAscii(std::string texto);
bool IguaisSemCaixa(std::string_view a, std::string_view b);

// UTF-8 checked one byte at a time, also across the blocks of a file read in
// pieces: no overlong forms, no surrogates, nothing past U+10FFFF.
class ValidadorUtf8 {
 public:
  bool Aceitar(unsigned char c);  // false: the byte cannot come here
  bool Completo() const { return faltam_ == 0; }

 private:
  bool Esperar(int faltam, unsigned char minimo, unsigned char maximo);
  int faltam_ = 0;
  unsigned char minimo_ = 0x80;
  unsigned char maximo_ = 0xBF;
};

// Bytes of the well-formed UTF-8 sequence at the start of the text; 0 when there is none.
std::size_t SequenciaUtf8(std::string_view texto);
bool Utf8Valido(std::string_view texto);
// The text with each ill-formed sequence (as far as it went right) made one U+FFFD.
std::string Utf8Legivel(std::string_view texto);
// Characters of a UTF-8 text: the bytes that do not continue a sequence.
std::size_t CaracteresUtf8(std::string_view texto);
void AcrescentarUtf8(std::string& destino, char32_t caractere);
