#include "MessageText.h"

std::string MessageText(DWORD flags, LPCVOID source, DWORD id) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, source, id,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = (n > 0 && text != nullptr) ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  return result;
}
