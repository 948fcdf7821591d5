// FormatMessageA for message-table lookups: the system's table, or the
// table of a module (only wininet.dll has one here). Inserts are not
// expanded; the callers ask for FORMAT_MESSAGE_IGNORE_INSERTS.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "Internal.h"

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                            va_list*) {
  const char* text = nullptr;
  if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) {
    if (lpSource == kwin32::WinInetModule()) text = kwin32::WinInetMessageText(dwMessageId);
  }
  if (text == nullptr && (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM)) text = kwin32::SystemMessageText(dwMessageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const size_t length = strlen(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is really a char** that receives a LocalAlloc'ed block.
    char* block = static_cast<char*>(malloc(length + 1));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    memcpy(block, text, length + 1);
    *reinterpret_cast<char**>(lpBuffer) = block;
    return static_cast<DWORD>(length);
  }
  if (lpBuffer == nullptr || nSize <= length) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(lpBuffer, text, length + 1);
  return static_cast<DWORD>(length);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}
