// The one wrapper of FormatMessageA.
#ifndef KESTRELON_MESSAGE_TEXT_H
#define KESTRELON_MESSAGE_TEXT_H

#include <windows.h>

#include <string>

// The text of a message-table entry as FormatMessageA gives it (`flags`
// chooses the table: FORMAT_MESSAGE_FROM_SYSTEM, or FROM_HMODULE with
// `source`), in the default language; empty when the table has none.
std::string MessageText(DWORD flags, LPCVOID source, DWORD id);

#endif
