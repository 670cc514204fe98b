// Conversion between the program's UTF-8 text and the databases' WIN1252.
#pragma once

#include <string>
#include <string_view>

namespace lumiford::win1252 {

// Every byte has a character: the five bytes WIN1252 leaves undefined come
// back as the control characters of the same number (U+0081, U+008D, ...).
std::string ParaUtf8(std::string_view bytes);

// Throws ErroBanco for invalid UTF-8 and for a character WIN1252 cannot hold.
std::string DeUtf8(std::string_view texto);

}  // namespace lumiford::win1252
