// kestrelon: a stand-in for the mail client that hosts the plug-in. It
// exports the host API, creates the main window, loads the module, starts
// it and runs the message loop until it is told to stop.
#include <windows.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <set>
#include <string>

#include "PathSeparator.h"
#include "config/Settings.h"
#include "host/HostApi.h"
#include "host/LogViewer.h"
#include "host/PluginFiles.h"

#ifndef KESTRELON_MODULE_FILE
#define KESTRELON_MODULE_FILE "Kestrelon.so"
#endif
// Where an installed host finds the module, from its own folder.
#ifndef KESTRELON_INSTALLED_MODULE_FOLDER
#define KESTRELON_INSTALLED_MODULE_FOLDER "../lib/kestrelon/"
#endif
#ifndef KESTRELON_VERSION
#define KESTRELON_VERSION "unknown"
#endif

namespace {

struct Options {
  std::string modulePath;
  std::string dataFolder;
  bool info = false;
  bool setup = false;
  bool showLog = false;
  bool keepGoing = false;
};

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: kestrelon [--module PATH] [--data-dir DIR] [--keep-going]\n"
          "       kestrelon [--module PATH] [--data-dir DIR] --info | --setup | --show-log\n"
          "       kestrelon --version | --help\n"
          "Hosts the Hotmail plug-in: serves POP3, SMTP and IMAP on 127.0.0.1 and\n"
          "turns each command into HTTPMail requests, until SIGINT or SIGTERM.\n"
          "Files: DIR/PlugIns/Kestrelon.ini (settings: ports POPPortNumber 6110,\n"
          "SMTPPortNumber 6025, IMAPPortNumber 6143), Kestrelon.log (the log, when\n"
          "Log=1) and Kestrelon.uid (IMAP UIDs) beside it. DIR is by default\n"
          "$XDG_DATA_HOME/kestrelon, else ~/.local/share/kestrelon. An INI beside\n"
          "the module instead, when DIR has none, keeps all three there.\n"
          "  --data-dir DIR   the host's data folder\n"
          "  --module PATH    the plug-in module (default: " KESTRELON_MODULE_FILE
          " beside this program,\n"
          "                   else in " KESTRELON_INSTALLED_MODULE_FOLDER " from it)\n"
          "  --keep-going     serve with the other servers when one cannot listen\n"
          "                   (default: stop, exit status 1)\n"
          "  --info           print the plug-in's name, vendor, version and description\n"
          "  --setup          the plug-in's setup dialog, on the terminal\n"
          "  --show-log       print the plug-in's log in UTF-8, whatever its lines mix\n"
          "  --version        print the version\n"
          "  --help           show this text\n");
}

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  size_t slash = p.find_last_of(kPathSeparator);
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

// Beside the program in a build folder; in the library folder once installed.
std::string DefaultModulePath() {
  const std::string beside = ProgramFolder() + KESTRELON_MODULE_FILE;
  std::error_code ignored;
  if (std::filesystem::exists(beside, ignored)) return beside;
  return ProgramFolder() + KESTRELON_INSTALLED_MODULE_FOLDER KESTRELON_MODULE_FILE;
}

// Returns 0 to run, 1 on a usage error, 2 after --help.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "--module" || a == "--data-dir") && i + 1 < argc) {
      (a == "--module" ? o.modulePath : o.dataFolder) = argv[++i];
    } else if (a == "--info") {
      o.info = true;
    } else if (a == "--setup") {
      o.setup = true;
    } else if (a == "--show-log") {
      o.showLog = true;
    } else if (a == "--keep-going") {
      o.keepGoing = true;
    } else if (a == "--help" || a == "-h") {
      PrintUsage(stdout);
      return 2;
    } else if (a == "--version") {
      printf("kestrelon " KESTRELON_VERSION "\n");
      return 2;
    } else {
      fprintf(stderr, "kestrelon: unknown or incomplete option '%s'\n", a.c_str());
      PrintUsage(stderr);
      return 1;
    }
  }
  if (o.modulePath.empty()) o.modulePath = DefaultModulePath();
  if (o.dataFolder.empty()) o.dataFolder = DefaultDataFolder();
  return 0;
}

LRESULT CALLBACK HostWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

HWND CreateMainWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "KestrelonHost";
  if (!RegisterClassA(&wc)) return nullptr;
  // A message-only window: it needs no display, and messages are all the
  // plug-in uses it for.
  return CreateWindowExA(0, "KestrelonHost", "Kestrelon host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                         nullptr);
}

template <typename Fn>
Fn Callback(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int PrintInfo(HMODULE module) {
  typedef int(WINAPI * InfoFn)(LPVOID);
  InfoFn info = Callback<InfoFn>(module, "BKC_OnPlugInInfo");
  if (info == nullptr) return 1;
  char record[4 * 80 + 256] = {};
  info(record);
  // The texts of the record are ASCII, which is the same in code page 932
  // and UTF-8.
  printf("%s\n%s\n%s\n%s\n", record, record + 80, record + 160, record + 240);
  return 0;
}

// The settings as the plug-in read them, and one line for each number it
// refused.
CSettings ReadSettings(const std::string& iniPath) {
  CSettings settings;
  settings.iniPath = iniPath;
  settings.Load();
  for (const CSettings::Refusal& r : settings.refused) {
    if (r.low == INT_MIN)
      fprintf(stderr, "kestrelon: %s: %s=%s is not a number; using %d\n", iniPath.c_str(), r.key.c_str(),
              r.value.c_str(), r.used);
    else
      fprintf(stderr, "kestrelon: %s: %s=%s is not a number from %d to %d; using %d\n", iniPath.c_str(),
              r.key.c_str(), r.value.c_str(), r.low, r.high, r.used);
  }
  return settings;
}

struct Server {
  const char* name;
  int port;  // 0: off
  bool listening = true;
};

// Marks each server that should listen and does not, and says so; true
// when all listen (or when this platform cannot tell).
bool CheckListening(Server (&servers)[3]) {
  std::multiset<int> ports;
  if (!ListeningPorts(ports)) return true;
  bool all = true;
  for (Server& s : servers) {
    if (s.port == 0) continue;
    // Each listener answers for one server: two set to one port are not
    // both served by the one that got it.
    const auto listener = ports.find(s.port);
    if (listener != ports.end()) {
      ports.erase(listener);
      continue;
    }
    fprintf(stderr, "kestrelon: %s could not listen on 127.0.0.1:%d (is another program using that port?)\n", s.name,
            s.port);
    s.listening = all = false;
  }
  return all;
}

void PrintStartLine(const PluginFiles& files, const Server (&servers)[3]) {
  std::string line = "kestrelon: running; settings and log in " + files.folder + " (" + files.baseName + ".ini, " +
                     files.baseName + ".log); ";
  for (const Server& s : servers) {
    line += std::string(&s == servers ? "" : ", ") + s.name;
    if (s.port == 0)
      line += " off";
    else
      line += (s.listening ? " on 127.0.0.1:" : " not listening on 127.0.0.1:") + std::to_string(s.port);
  }
  line += "; stop with Ctrl-C or SIGTERM\n";
  fputs(line.c_str(), stderr);
}

int RunSetup(HMODULE module, HWND mainWindow) {
  typedef int(WINAPI * SetupFn)(HWND);
  SetupFn setup = Callback<SetupFn>(module, "BKC_OnPlugInSetup");
  const bool shown = setup && setup(mainWindow) == 1;
  if (int sig = SetupStopSignal()) {
    fprintf(stderr, "\nkestrelon: setup cancelled by signal %d; the settings are unchanged\n", sig);
    return 128 + sig;
  }
  return shown ? 0 : 1;
}

int Serve(HMODULE module, HWND mainWindow, const Options& options) {
  typedef int(WINAPI * StartFn)();
  StartFn start = Callback<StartFn>(module, "BKC_OnStart");
  if (start == nullptr) {
    fprintf(stderr, "kestrelon: the plug-in has no BKC_OnStart\n");
    return 1;
  }
  const PluginFiles files = PluginFilesOf(options.modulePath, options.dataFolder);
  const CSettings settings = ReadSettings(files.Ini());
  Server servers[3] = {
      {"POP3", settings.popPortNumber}, {"SMTP", settings.smtpPortNumber}, {"IMAP", settings.imapPortNumber}};
  start();
  int status = 0;
  if (!CheckListening(servers) && !options.keepGoing) {
    fprintf(stderr, "kestrelon: stopping (--keep-going serves with the other servers)\n");
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    status = 1;
  } else {
    PrintStartLine(files, servers);
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  typedef int(WINAPI * ExitFn)();
  if (ExitFn onExit = Callback<ExitFn>(module, "BKC_OnExit")) onExit();
  FreeLibrary(module);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 2 ? 0 : 2;
  // Reading the log needs no module: it works while another host runs.
  if (options.showLog) return ShowLog(PluginFilesOf(options.modulePath, options.dataFolder).Log(), stdout);

  std::error_code ignored;
  std::filesystem::create_directories(options.dataFolder, ignored);
  if (!options.info && !PlaceFilesInDataFolder(options.modulePath, options.dataFolder)) {
    fprintf(stderr, "kestrelon: cannot create the settings file in %s\n", options.dataFolder.c_str());
    return 1;
  }
  SetHostDataFolder(options.dataFolder);
  HWND mainWindow = CreateMainWindow();
  if (mainWindow == nullptr) {
    fprintf(stderr, "kestrelon: cannot create the main window (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  SetHostMainWindow(mainWindow);
  // Before any thread of the module exists.
  if (options.setup)
    CancelSetupOnStopSignals();
  else
    InstallStopHandler(mainWindow);

  HMODULE module = LoadLibraryA(options.modulePath.c_str());
  if (module == nullptr) {
    DWORD error = GetLastError();
    fprintf(stderr, "kestrelon: the plug-in %s refused to load (error %u)%s\n", options.modulePath.c_str(),
            static_cast<unsigned>(error),
            error == ERROR_DLL_INIT_FAILED ? ": its initialisation failed" : ": the module was not found");
    return 1;
  }
  if (options.info) return PrintInfo(module);
  if (options.setup) return RunSetup(module, mainWindow);
  return Serve(module, mainWindow, options);
}
