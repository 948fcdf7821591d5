// How a module built for this platform layer hands its entry point, its
// string resources and its dialog templates to the loader: LoadLibraryA calls
// the entry point with DLL_PROCESS_ATTACH once the shared object is mapped,
// as Windows does.
#ifndef KWIN32_MODULE_ENTRY_H
#define KWIN32_MODULE_ENTRY_H

#include <windows.h>

typedef BOOL(WINAPI* KWin32DllEntry)(HINSTANCE, DWORD, LPVOID);

struct KWin32StringResource {
  UINT id;
  const char* text;
};

// The controls a dialog template can hold on this layer.
enum class KWin32ControlKind { DefPushButton, PushButton, Static, GroupBox, Edit, AutoCheckBox };

// One control of a template, in template order (which is the tab order);
// position and size in dialog units.
struct KWin32DialogControl {
  KWin32ControlKind kind;
  const char* text;
  int id;
  short x, y, cx, cy;
};

struct KWin32DialogResource {
  UINT id;
  const char* caption;
  const KWin32DialogControl* controls;
  size_t controlCount;
};

struct KWin32ModuleResources {
  const KWin32StringResource* strings;
  size_t stringCount;
  const KWin32DialogResource* dialogs;
  size_t dialogCount;
};

// Called from a static constructor inside the module while dlopen maps it.
WINBASEAPI void KWin32RegisterModule(KWin32DllEntry entry, const KWin32ModuleResources* resources);

#endif
