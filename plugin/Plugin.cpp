#include "Plugin.h"

#include "PathSeparator.h"
#include "config/Log.h"
#include "config/SetupDialog.h"
#include "plugin/BeckyAPI.h"
#include "plugin/PluginWindowProc.h"

CPlugin::CPlugin()
    : smtp(settings),
      instance(nullptr),
      http(settings),
      pop(settings),
      mainWindow(nullptr),
      otherWindows{},
      previousWindowProc(nullptr) {
  smtp.SetService(&http);
  pop.SetService(&http);
  imap.SetService(&http.Parallel());
  CHTTPSession::Configure({nullptr, &settings});
}

CPlugin::~CPlugin() {}

bool CPlugin::Initialize(HINSTANCE moduleInstance) {
  instance = moduleInstance;
  if (!theBeckyAPI.Init()) {
    REPORT_ERROR("CBeckyAPI の初期化に失敗しました。", 0);
    return false;
  }
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    // A cut path would place the INI file somewhere else entirely.
    REPORT_SYSTEM_ERROR(n == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    return false;
  }
  BuildPaths(path);
  settings.Load();
  return true;
}

void CPlugin::BuildPaths(const std::string& modulePath) {
  const size_t slash = modulePath.find_last_of(kPathSeparator);
  std::string directory = std::string(".") + kPathSeparator;
  std::string fileName = modulePath;
  if (slash != std::string::npos) {
    directory = modulePath.substr(0, slash + 1);
    fileName = modulePath.substr(slash + 1);
  }
  const size_t dot = fileName.find_last_of('.');
  const std::string baseName = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  configFolder = directory;

  dataFolder = theBeckyAPI.GetDataFolder();
  if (!dataFolder.empty() && dataFolder.back() != kPathSeparator) dataFolder += kPathSeparator;

  const std::string pluginsFolder = dataFolder + "PlugIns" + kPathSeparator;
  const std::string pluginsIni = pluginsFolder + baseName + ".ini";
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA(pluginsIni.c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    FindClose(h);
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) configFolder = pluginsFolder;
  }
  settings.iniPath = configFolder + baseName + ".ini";
  theLog.SetPath(configFolder + baseName + ".log", &settings);
}

void CPlugin::OnStart() {
  // The host starts a plug-in once; a second start must not subclass the
  // window again, or our procedure would become its own predecessor.
  if (previousWindowProc != nullptr) return;
  if (!pop.InitWinsock()) return;
  if (!smtp.InitWinsock()) return;
  if (!theBeckyAPI.GetWindowHandles(&mainWindow, &otherWindows[0], &otherWindows[1], &otherWindows[2])) {
    REPORT_ERROR("CBeckyAPI::GetWindowHandles() でハンドルの取得に失敗しました。", 0);
    return;
  }
  for (const std::string& reason : settings.refusedReasons) REPORT_ERROR(reason.c_str(), 0);
  CHTTPSession::Configure({mainWindow, &settings});
  pop.SetWindow(mainWindow);
  smtp.SetWindow(mainWindow);
  pop.SetIdleTimeOut(static_cast<unsigned>(settings.idleTimeOut));
  smtp.SetIdleTimeOut(static_cast<unsigned>(settings.idleTimeOut));
  WNDPROC current = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(mainWindow, GWLP_WNDPROC));
  if (current == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  SetLastError(0);
  if (SetWindowLongPtrA(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PluginWindowProc)) == 0) {
    DWORD error = GetLastError();
    if (error != 0) {
      REPORT_SYSTEM_ERROR(error);
      return;
    }
  }
  previousWindowProc = current;
  pop.Listen();
  smtp.Listen();
  // The IMAP side: its UIDs are kept beside the INI file.
  std::string uidPath = settings.iniPath;
  if (uidPath.size() > 4 && uidPath.compare(uidPath.size() - 4, 4, ".ini") == 0) uidPath.erase(uidPath.size() - 4);
  imap.SetUidStorePath(uidPath + ".uid");
  imap.SetCache(uidPath + ".cache", static_cast<uint64_t>(settings.imapCacheSize) * 1024 * 1024);
  imap.SetPort(settings.imapPortNumber);
  imap.SetDeleteMode(settings.deleteMode);
  imap.SetClientTimeOut(settings.idleTimeOut);
  if (imap.InitWinsock()) imap.Start(mainWindow);
}

void CPlugin::OnPlugInSetup(HWND parent) {
  CSetupDialog dialog(instance);
  dialog.settings = settings;
  dialog.parent = parent;
  const CSettings opened = settings;
  if (dialog.Show() == IDOK) {
    // The host's messages ran while the dialog was open: keep what they
    // changed.
    dialog.ApplyEdits(opened, settings);
    settings.Save();
  }
}

void CPlugin::LogRefusedSettings() const {
  for (const CSettings::Refusal& r : settings.refused)
    theLog.Write("[設定値 " + r.key + "=" + r.value + " は使えないため " + std::to_string(r.used) + " を使います]\n");
}

const char* CPlugin::GetResourceText(UINT id) {
  char buffer[1024];
  if (LoadStringA(instance, id, buffer, sizeof buffer) <= 0) buffer[0] = '\0';
  textBuffer = buffer;
  return textBuffer.c_str();
}
