// How a module built for this platform layer hands its entry point and its
// string resources to the loader: LoadLibraryA calls the entry point with
// DLL_PROCESS_ATTACH once the shared object is mapped, as Windows does.
#ifndef KWIN32_MODULE_ENTRY_H
#define KWIN32_MODULE_ENTRY_H

#include <windows.h>

typedef BOOL(WINAPI* KWin32DllEntry)(HINSTANCE, DWORD, LPVOID);

struct KWin32StringResource {
  UINT id;
  const char* text;
};

// Called from a static constructor inside the module while dlopen maps it.
WINBASEAPI void KWin32RegisterModule(KWin32DllEntry entry, const KWin32StringResource* strings, size_t count);

#endif
