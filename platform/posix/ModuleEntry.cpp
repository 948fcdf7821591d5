// Linked into every module built for the Linux layer: hands the module's
// DllMain and string table to LoadLibraryA while dlopen maps the module.
#include <windows.h>

#include "kwin32/ModuleEntry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern const KWin32StringResource kModuleStrings[];
extern const size_t kModuleStringCount;

namespace {
struct Registration {
  Registration() { KWin32RegisterModule(&DllMain, kModuleStrings, kModuleStringCount); }
} registration;
}  // namespace
