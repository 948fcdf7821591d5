// kestrelon: a stand-in for the mail client that hosts the plug-in. It
// exports the host API, creates the main window, loads the module, starts
// it and runs the message loop until it is told to stop.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "PathSeparator.h"
#include "host/HostApi.h"
#include "host/LogViewer.h"

#ifndef KESTRELON_MODULE_FILE
#define KESTRELON_MODULE_FILE "Kestrelon.so"
#endif

namespace {

struct Options {
  std::string modulePath;
  std::string dataFolder;
  bool info = false;
  bool setup = false;
  bool showLog = false;
};

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: kestrelon [--module PATH] [--data-dir DIR] [--info | --setup | --show-log]\n"
          "Hosts the Hotmail plug-in: serves POP3 and SMTP on 127.0.0.1 until\n"
          "SIGINT or SIGTERM.\n"
          "  --module PATH    the plug-in module (default: " KESTRELON_MODULE_FILE " beside this program)\n"
          "  --data-dir DIR   the host's data folder; the plug-in looks for\n"
          "                   DIR/PlugIns/Kestrelon.ini there\n"
          "  --info           print the plug-in's name, vendor, version and description\n"
          "  --setup          open the plug-in's setup\n"
          "  --show-log       print the plug-in's log in UTF-8, whatever its lines mix\n"
          "  --help           show this text\n");
}

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  size_t slash = p.find_last_of(kPathSeparator);
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
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
    } else if (a == "--help" || a == "-h") {
      PrintUsage(stdout);
      return 2;
    } else {
      fprintf(stderr, "kestrelon: unknown or incomplete option '%s'\n", a.c_str());
      PrintUsage(stderr);
      return 1;
    }
  }
  if (o.modulePath.empty()) o.modulePath = ProgramFolder() + KESTRELON_MODULE_FILE;
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) return parsed == 2 ? 0 : 2;
  // Reading the log needs no module: it works while another host runs.
  if (options.showLog) return ShowLog(LogPathOf(options.modulePath, options.dataFolder), stdout);

  std::error_code ignored;
  std::filesystem::create_directories(options.dataFolder, ignored);
  SetHostDataFolder(options.dataFolder);
  HWND mainWindow = CreateMainWindow();
  if (mainWindow == nullptr) {
    fprintf(stderr, "kestrelon: cannot create the main window (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  SetHostMainWindow(mainWindow);
  InstallStopHandler(mainWindow);  // before any thread of the module exists

  HMODULE module = LoadLibraryA(options.modulePath.c_str());
  if (module == nullptr) {
    DWORD error = GetLastError();
    fprintf(stderr, "kestrelon: the plug-in %s refused to load (error %u)%s\n", options.modulePath.c_str(),
            static_cast<unsigned>(error),
            error == ERROR_DLL_INIT_FAILED ? ": its initialisation failed" : ": the module was not found");
    return 1;
  }
  if (options.info) return PrintInfo(module);
  if (options.setup) {
    typedef int(WINAPI * SetupFn)(HWND);
    SetupFn setup = Callback<SetupFn>(module, "BKC_OnPlugInSetup");
    return setup && setup(mainWindow) == 1 ? 0 : 1;
  }

  typedef int(WINAPI * StartFn)();
  StartFn start = Callback<StartFn>(module, "BKC_OnStart");
  if (start == nullptr) {
    fprintf(stderr, "kestrelon: the plug-in has no BKC_OnStart\n");
    return 1;
  }
  start();
  fprintf(stderr, "kestrelon: running; stop with Ctrl-C\n");
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  typedef int(WINAPI * ExitFn)();
  if (ExitFn onExit = Callback<ExitFn>(module, "BKC_OnExit")) onExit();
  FreeLibrary(module);
  return 0;
}
