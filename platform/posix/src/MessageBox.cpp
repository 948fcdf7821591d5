// Message boxes on Linux: the caption and text go to standard error in
// UTF-8 and the box is answered with IDOK at once, so no thread ever blocks
// on a box nobody can see.
#include <windows.h>

#include <stdio.h>

#include <mutex>

#include "Internal.h"

int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  std::string caption = kwin32::Cp932ToUtf8(lpCaption ? lpCaption : "Error");
  std::string text = kwin32::Cp932ToUtf8(lpText ? lpText : "");
  fprintf(stderr, "[%s]\n%s%s", caption.c_str(), text.c_str(), (!text.empty() && text.back() == '\n') ? "" : "\n");
  fflush(stderr);
  return IDOK;
}
