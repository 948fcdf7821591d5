// The stand-in host's side of the host API.
#ifndef KESTRELON_HOST_API_H
#define KESTRELON_HOST_API_H

#include <windows.h>

#include <set>
#include <string>

#ifndef HOST_EXPORT
#define HOST_EXPORT
#endif

void SetHostMainWindow(HWND hwnd);
void SetHostDataFolder(const std::string& folder);

// Makes SIGINT, SIGTERM (or the console's Ctrl-C) close the main window.
void InstallStopHandler(HWND mainWindow);

// For --setup: SIGINT or SIGTERM ends the dialog as Cancel, by ending its
// input. The signal taken, or 0.
void CancelSetupOnStopSignals();
int SetupStopSignal();

// The data folder used when none is given.
std::string DefaultDataFolder();

// The TCP ports this process listens on; false when that cannot be told.
bool ListeningPorts(std::multiset<int>& ports);

#endif
