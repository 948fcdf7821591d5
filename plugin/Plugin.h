// CPlugin: the one plug-in object. Owns the servers, the settings and the
// HTTPMail client, places the INI and log files, and subclasses the host's
// main window when the host starts the plug-in.
#ifndef KESTRELON_PLUGIN_H
#define KESTRELON_PLUGIN_H

#include <windows.h>

#include <string>

#include "config/Settings.h"
#include "httpmail/HotmailHTTP.h"
#include "imap/HotmailIMAP.h"
#include "pop3/HotmailPOP.h"
#include "smtp/HotmailSMTP.h"

class CPlugin {
 public:
  CPlugin();
  virtual ~CPlugin();

  bool Initialize(HINSTANCE instance);
  void BuildPaths(const std::string& modulePath);
  void OnStart();
  void OnPlugInSetup(HWND parent);
  const char* GetResourceText(UINT id);
  // One log line for each INI number the settings refused at load.
  void LogRefusedSettings() const;

  // The settings come first: every Part is built with a reference to them.
  CSettings settings;
  CHotmailSMTP smtp;
  HINSTANCE instance;
  std::string dataFolder;
  std::string configFolder;
  std::string textBuffer;
  CHotmailHTTP http;
  CHotmailPOP pop;
  CHotmailIMAP imap;
  HWND mainWindow;
  HWND otherWindows[3];
  WNDPROC previousWindowProc;
};

extern CPlugin thePlugin;

#endif
