// Member accessors through which every reply of the web service is read.
#pragma once

#include <string>

#include <rapidjson/document.h>

// Documents keep numbers as their literal text (kParseNumbersAsStringsFlag).
using DocumentoJson = rapidjson::Document;
using ValorJson = rapidjson::Value;

// Parses text that must be exactly one JSON value; returns false otherwise.
bool LerDocumentoJson(const std::string& texto, DocumentoJson& documento);

std::string LerTextoJson(const ValorJson& objeto, const std::string& membro);
const ValorJson& LerListaJson(const ValorJson& objeto, const std::string& membro);
bool LerLogicoJson(const ValorJson& objeto, const std::string& membro);
