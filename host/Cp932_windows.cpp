// Code page 932 to UTF-8 through the system's conversion tables.
#include <windows.h>

#include "host/LogViewer.h"

bool Cp932ToUtf8(const std::string& text, std::string& utf8) {
  utf8.clear();
  if (text.empty()) return true;
  int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0], n);
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return false;
  utf8.assign(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &utf8[0], m, nullptr, nullptr);
  return true;
}
