// Ctrl-C and Ctrl-Break on the console close the host's main window.
#include <windows.h>

#include <stdlib.h>

#include "host/HostApi.h"

namespace {
HWND stopWindow = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  PostMessageA(stopWindow, WM_CLOSE, 0, 0);
  return TRUE;
}
}  // namespace

void InstallStopHandler(HWND mainWindow) {
  stopWindow = mainWindow;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string DefaultDataFolder() {
  const char* appData = getenv("APPDATA");
  return std::string(appData ? appData : ".") + "\\kestrelon\\";
}
