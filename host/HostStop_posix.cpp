// SIGINT and SIGTERM close the host's main window. The signals are blocked
// in every thread and taken by one thread with sigwait, which may then post
// like any other thread.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include "host/HostApi.h"

namespace {
HWND stopWindow = nullptr;

void* WaitForStop(void*) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) PostMessageA(stopWindow, WM_CLOSE, 0, 0);
  }
  return nullptr;
}
}  // namespace

void InstallStopHandler(HWND mainWindow) {
  stopWindow = mainWindow;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  pthread_t thread;
  pthread_create(&thread, nullptr, WaitForStop, nullptr);
  pthread_detach(thread);
}

std::string DefaultDataFolder() {
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/kestrelon";
  const char* home = getenv("HOME");
  return std::string(home ? home : ".") + "/.local/share/kestrelon";
}
