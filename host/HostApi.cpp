// The BKA_ functions a Becky!-compatible host exports from its executable.
// The stand-in host implements the two the plug-in calls; the others are
// present, as a real host's are, and do nothing.
#include "host/HostApi.h"

#include <string>

namespace {
HWND hostMainWindow = nullptr;
std::string hostDataFolder;
}  // namespace

void SetHostMainWindow(HWND hwnd) { hostMainWindow = hwnd; }
void SetHostDataFolder(const std::string& folder) { hostDataFolder = folder; }

extern "C" {

HOST_EXPORT BOOL WINAPI BKA_GetWindowHandles(HWND* main, HWND* tree, HWND* list, HWND* view) {
  if (main) *main = hostMainWindow;
  if (tree) *tree = nullptr;
  if (list) *list = nullptr;
  if (view) *view = nullptr;
  return hostMainWindow != nullptr;
}

HOST_EXPORT LPCSTR WINAPI BKA_GetDataFolder() { return hostDataFolder.c_str(); }

#define HOST_NOOP(name) \
  HOST_EXPORT int WINAPI name() { return 0; }
HOST_NOOP(BKA_GetVersion)
HOST_NOOP(BKA_Command)
HOST_NOOP(BKA_RegisterCommand)
HOST_NOOP(BKA_RegisterUICallback)
HOST_NOOP(BKA_GetTempFolder)
HOST_NOOP(BKA_GetTempFileName)
HOST_NOOP(BKA_GetCurrentMailBox)
HOST_NOOP(BKA_SetCurrentMailBox)
HOST_NOOP(BKA_GetCurrentFolder)
HOST_NOOP(BKA_SetCurrentFolder)
HOST_NOOP(BKA_GetFolderDisplayName)
HOST_NOOP(BKA_SetMessageText)
HOST_NOOP(BKA_GetCurrentMail)
HOST_NOOP(BKA_SetCurrentMail)
HOST_NOOP(BKA_GetNextMail)
HOST_NOOP(BKA_SetSel)
HOST_NOOP(BKA_AppendMessage)
HOST_NOOP(BKA_MoveSelectedMessages)
HOST_NOOP(BKA_GetStatus)
HOST_NOOP(BKA_ComposeMail)
HOST_NOOP(BKA_GetCharSet)
HOST_NOOP(BKA_GetSource)
HOST_NOOP(BKA_SetSource)
HOST_NOOP(BKA_GetHeader)
HOST_NOOP(BKA_GetText)
HOST_NOOP(BKA_SetText)
HOST_NOOP(BKA_GetSpecifiedHeader)
HOST_NOOP(BKA_SetSpecifiedHeader)
HOST_NOOP(BKA_CompGetCharSet)
HOST_NOOP(BKA_CompGetSource)
HOST_NOOP(BKA_CompSetSource)
HOST_NOOP(BKA_CompGetHeader)
HOST_NOOP(BKA_CompGetSpecifiedHeader)
HOST_NOOP(BKA_CompSetSpecifiedHeader)
HOST_NOOP(BKA_CompGetText)
HOST_NOOP(BKA_CompSetText)
HOST_NOOP(BKA_CompAttachFile)
HOST_NOOP(BKA_Alloc)
HOST_NOOP(BKA_ReAlloc)
HOST_NOOP(BKA_Free)
HOST_NOOP(BKA_ISO_2022_JP)
HOST_NOOP(BKA_ISO_2022_KR)
HOST_NOOP(BKA_HZ_GB2312)
HOST_NOOP(BKA_ISO_8859_2)
HOST_NOOP(BKA_EUC_JP)
HOST_NOOP(BKA_UTF_7)
HOST_NOOP(BKA_UTF_8)
HOST_NOOP(BKA_B64Convert)
HOST_NOOP(BKA_QPConvert)
HOST_NOOP(BKA_MIMEHeader)
HOST_NOOP(BKA_SerializeRcpts)
#ifndef HOST_WITHOUT_CONNECT  // the test host that proves a missing function refuses the load
HOST_NOOP(BKA_Connect)
#endif

}  // extern "C"
