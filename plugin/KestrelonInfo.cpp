// The module's entry point, its exported host callbacks, and its three
// long-lived objects. They are defined here, in one translation unit, so
// they are built in this order and destroyed in the reverse one: the log
// first, so that it is still there when the plug-in object's servers close
// their sockets and say so at unload.
#include <windows.h>

#include <string.h>

#include "config/Log.h"
#include "plugin/BeckyAPI.h"
#include "plugin/Plugin.h"
#include "resources/ResourceIds.h"

CLog theLog;
CBeckyAPI theBeckyAPI;
CPlugin thePlugin;

namespace {

// The host's information record: four text fields at offsets 0, 80, 160
// and 240.
constexpr size_t kInfoFieldSize = 80;

void CopyField(char* record, size_t offset, const char* text) {
  strncpy(record + offset, text, kInfoFieldSize - 1);
  record[offset + kInfoFieldSize - 1] = '\0';
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  if (!thePlugin.Initialize(instance)) return FALSE;
  theLog.WriteMode("[DllMain 内でプラグインの初期化を行いました]\n", "wb");
  thePlugin.LogRefusedSettings();
  return TRUE;
}

extern "C" {

int WINAPI BKC_OnStart() {
  thePlugin.OnStart();
  return 0;
}

int WINAPI BKC_OnExit() { return 0; }
int WINAPI BKC_OnEveryMinute() { return 0; }
int WINAPI BKC_OnOpenFolder(LPCSTR) { return 0; }
int WINAPI BKC_OnOpenMail(LPCSTR) { return 0; }
int WINAPI BKC_OnSend(LPCSTR) { return 0; }
int WINAPI BKC_OnFinishRetrieve(int) { return 0; }
int WINAPI BKC_OnOpenCompose(HWND, int) { return 0; }
int WINAPI BKC_OnOutgoing(HWND, int) { return 0; }
int WINAPI BKC_OnRetrieve(LPCSTR, LPCSTR) { return 0; }
int WINAPI BKC_OnMenuInit(HWND, HMENU, int) { return 0; }
int WINAPI BKC_OnKeyDispatch(HWND, int, int) { return 0; }
int WINAPI BKC_OnDragDrop(LPCSTR, LPCSTR, int, int) { return 0; }

int WINAPI BKC_OnPlugInSetup(HWND parent) {
  thePlugin.OnPlugInSetup(parent);
  return 1;
}

int WINAPI BKC_OnPlugInInfo(LPVOID info) {
  char* record = static_cast<char*>(info);
  CopyField(record, 0, thePlugin.GetResourceText(IDS_PLUGIN_NAME));
  CopyField(record, 80, "Vantorel");
  CopyField(record, 160, thePlugin.GetResourceText(IDS_PLUGIN_VERSION));
  // The host sizes the last field; the description is 37 characters.
  strcpy(record + 240, "Enables Becky! to use Hotmail Account");
  return 0;
}

}  // extern "C"
