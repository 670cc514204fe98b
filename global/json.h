// Member accessors through which every reply of the web service is read.
#pragma once

#include <stdexcept>
#include <string>

#include <rapidjson/document.h>

// Documents keep numbers as their literal text (kParseNumbersAsStringsFlag):
// a number reads back exactly as the web service wrote it (150.75 stays
// 150.75), and is held as a string value.
using DocumentoJson = rapidjson::Document;
using ValorJson = rapidjson::Value;

// Every failure of the accessors below, carrying its fixed text.
class ErroJson : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Deepest nesting of arrays and objects a document may have.
inline constexpr int ProfundidadeMaximaJson = 512;

// Parses text that must be exactly one JSON value (white space around it
// allowed, a leading UTF-8 byte-order mark skipped), valid UTF-8 and nested
// no deeper than ProfundidadeMaximaJson; returns false otherwise.
bool LerDocumentoJson(const std::string& texto, DocumentoJson& documento);

// The member's text: a string's text, a number's literal, true/false, "" for
// null. Fails with "Value '%s' not found" or, for an object or array,
// "Conversion from TJSONObject to string is not supported" (TJSONArray).
std::string LerTextoJson(const ValorJson& objeto, const std::string& membro);

// The member that is an array, still owned by its document. Fails with
// "Value '%s' not found" or "Invalid class typecast".
const ValorJson& LerListaJson(const ValorJson& objeto, const std::string& membro);

// The member as a boolean: true/false; a string or number from its text (a
// decimal number, non-zero is true, or True/False in any case), else
// "'%s' is not a valid boolean value"; null, object or array fail with
// "Conversion from TJSONNull to Boolean is not supported" (TJSONObject, TJSONArray).
bool LerLogicoJson(const ValorJson& objeto, const std::string& membro);
