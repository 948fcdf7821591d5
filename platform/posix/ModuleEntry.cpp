// Linked into every module built for the Linux layer: hands the module's
// DllMain, string table and dialog templates to LoadLibraryA while dlopen maps the module.
#include <windows.h>

#include "kwin32/ModuleEntry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern const KWin32StringResource kModuleStrings[];
extern const size_t kModuleStringCount;
extern const KWin32DialogResource kModuleDialogs[];
extern const size_t kModuleDialogCount;

namespace {
struct Registration {
  Registration() {
    static const KWin32ModuleResources resources = {kModuleStrings, kModuleStringCount, kModuleDialogs,
                                                    kModuleDialogCount};
    KWin32RegisterModule(&DllMain, &resources);
  }
} registration;
}  // namespace
