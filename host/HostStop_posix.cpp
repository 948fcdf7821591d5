// SIGINT and SIGTERM close the host's main window. The signals are blocked
// in every thread and taken by one thread with sigwait, which may then post
// like any other thread. During --setup they end the dialog's input instead.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "host/HostApi.h"

namespace {
HWND stopWindow = nullptr;
volatile sig_atomic_t setupSignal = 0;
int devNull = -1;
pthread_t setupThread;

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

// Standard input becomes /dev/null, so the dialog's next read ends; the
// thread reading it is interrupted as well (no SA_RESTART), so the read
// it is in ends too. Only async-signal-safe calls.
void OnSetupSignal(int sig) {
  if (setupSignal == 0) setupSignal = sig;
  if (devNull >= 0) dup2(devNull, STDIN_FILENO);
  if (!pthread_equal(pthread_self(), setupThread)) pthread_kill(setupThread, sig);
}
}  // namespace

void CancelSetupOnStopSignals() {
  setupThread = pthread_self();
  devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct sigaction action = {};
  action.sa_handler = OnSetupSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int SetupStopSignal() { return setupSignal; }

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
