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

// A console Ctrl-C ends the program during the setup dialog, which changes
// nothing until OK.
void CancelSetupOnStopSignals() {}
int SetupStopSignal() { return 0; }

std::string DefaultDataFolder() {
  const char* appData = getenv("APPDATA");
  return std::string(appData ? appData : ".") + "\\kestrelon\\";
}
