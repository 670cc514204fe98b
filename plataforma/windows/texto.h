// Text at the edge of the Windows API: UTF-8 inside the program, UTF-16 in
// the W functions. Private to plataforma/windows.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace lumiford::windows {

// Invalid UTF-8 becomes U+FFFD, as the system converts it.
inline std::wstring Largo(std::string_view texto) {
  if (texto.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), nullptr, 0);
  std::wstring largo(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), largo.data(), n);
  return largo;
}

// A lone surrogate becomes U+FFFD.
inline std::string Utf8(std::wstring_view texto) {
  if (texto.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

}  // namespace lumiford::windows
