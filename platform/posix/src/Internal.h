// Helpers shared by the files of the Linux platform layer.
#ifndef KWIN32_INTERNAL_H
#define KWIN32_INTERNAL_H

#include <windows.h>

#include <string>

#include "kwin32/ModuleEntry.h"

namespace kwin32 {

// The Win32 error code that best describes an errno value.
DWORD ErrorFromErrno(int err);

// Sets the thread's last error from errno and returns FALSE, for the many
// calls that fail that way.
BOOL FailWithErrno(int err);

// Text conversion between code page 932 and UTF-8; bytes that do not
// convert are kept as they are, so nothing is lost in a diagnostic.
std::string Cp932ToUtf8(const std::string& text);
std::string Utf8ToCp932(const std::string& text);

// Copies text into a caller's buffer of `size` characters, always
// terminating it; returns the number of characters copied.
DWORD CopyToBuffer(const std::string& text, char* buffer, DWORD size);

// The message tables. Each entry's text ends with CR LF, as Windows' do.
const char* SystemMessageText(DWORD code);
const char* WinInetMessageText(DWORD code);

// The pseudo module that stands for wininet.dll, whose message table holds
// the WinInet texts; GetModuleHandleA("wininet.dll") returns it.
HMODULE WinInetModule();

// The dialog template `id` of a loaded module, or null with the last error set.
const KWin32DialogResource* FindDialog(HINSTANCE instance, UINT id);

}  // namespace kwin32

#endif
