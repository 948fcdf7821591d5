// Windows, their procedures, and the one message queue of the process's
// user-interface thread. PostMessageA is safe from any thread; GetMessageA
// waits in poll(2) on a wake-up descriptor and on whatever the socket layer
// watches, so socket notifications and posted messages share one loop.
#include <windows.h>

#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "Internal.h"
#include "Heap.h"
#include "MessageLoop.h"

namespace {

struct WindowClass {
  WNDPROC proc;
  HINSTANCE instance;
};

struct Window {
  WNDPROC proc;
  HINSTANCE instance;
  LONG_PTR userData = 0;
};

std::mutex lock;  // guards everything below
std::map<std::string, WindowClass> classes;
std::map<HWND, Window> windows;
std::deque<MSG> queue;
uintptr_t nextWindow = 0x10000;
kwin32::PollSource* pollSource = nullptr;

// Timers of windows, by window and id. As on Windows, a due timer is no
// posted message: WM_TIMER is made when the queue has nothing else, at most
// one per timer however late, and the next one falls a period after that.
struct Timer {
  UINT period;  // milliseconds
  TIMERPROC proc;
  std::chrono::steady_clock::time_point due;
};
std::map<std::pair<HWND, UINT_PTR>, Timer> timers;

// A WM_TIMER for the earliest due timer, if one is; the caller holds the lock.
bool TakeDueTimer(MSG& msg) {
  const auto now = std::chrono::steady_clock::now();
  auto first = timers.end();
  for (auto it = timers.begin(); it != timers.end(); ++it)
    if (it->second.due <= now && (first == timers.end() || it->second.due < first->second.due)) first = it;
  if (first == timers.end()) return false;
  first->second.due = now + std::chrono::milliseconds(first->second.period);
  msg = MSG{first->first.first, WM_TIMER, first->first.second, reinterpret_cast<LPARAM>(first->second.proc),
            GetTickCount(), {0, 0}};
  return true;
}

// Milliseconds until the next timer falls due, -1 for none; the caller
// holds the lock.
int UntilNextTimer() {
  if (timers.empty()) return -1;
  const auto now = std::chrono::steady_clock::now();
  auto next = timers.begin()->second.due;
  for (const auto& entry : timers) next = std::min(next, entry.second.due);
  if (next <= now) return 0;
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
  return wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait);
}

int WakeFd() {
  static int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

std::string ClassKey(LPCSTR name) {
  std::string key = name ? name : "";
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return key;
}

Window* Find(HWND hwnd) {
  auto it = windows.find(hwnd);
  return it == windows.end() ? nullptr : &it->second;
}

WNDPROC ProcOf(HWND hwnd) {
  std::lock_guard<std::mutex> guard(lock);
  Window* w = Find(hwnd);
  return w ? w->proc : nullptr;
}

bool PopMessage(MSG& msg) {
  std::lock_guard<std::mutex> guard(lock);
  if (queue.empty()) return TakeDueTimer(msg);
  msg = queue.front();
  queue.pop_front();
  return true;
}

// Threads between looking at the watched descriptors and the end of their
// poll. Raised before the look, so a change made while it is 0 is seen by
// the next look of whichever thread waits.
std::atomic<int> waiting{0};

// Whether anything woke the wait before `timeoutMs`.
bool WaitForWork(int timeoutMs) {
  waiting.fetch_add(1);
  struct Done {
    ~Done() { waiting.fetch_sub(1); }
  } done;
  std::vector<pollfd> fds{{WakeFd(), POLLIN, 0}};
  kwin32::PollSource* source;
  {
    std::lock_guard<std::mutex> guard(lock);
    source = pollSource;
    const int untilTimer = UntilNextTimer();
    if (untilTimer >= 0 && (timeoutMs < 0 || untilTimer < timeoutMs)) timeoutMs = untilTimer;
  }
  if (source) source->Prepare(fds);
  int n = poll(fds.data(), fds.size(), timeoutMs);
  if (n <= 0) return false;
  if (fds[0].revents & POLLIN) {
    uint64_t value;
    while (read(WakeFd(), &value, sizeof value) > 0) {
    }
  }
  if (source) source->Dispatch(fds, 1, fds.size() - 1);
  return true;
}

// After work, an idle moment this long lets the heap give back what the
// work freed.
constexpr int kIdleBeforeTrimMs = 1000;
thread_local bool trimDue = false;

}  // namespace

void kwin32::SetPollSource(PollSource* source) {
  {
    std::lock_guard<std::mutex> guard(lock);
    pollSource = source;
  }
  WakeMessageLoop();
}

void kwin32::WakeMessageLoopIfWaiting() {
  if (waiting.load() != 0) WakeMessageLoop();
}

void kwin32::WakeMessageLoop() {
  uint64_t one = 1;
  ssize_t ignored = write(WakeFd(), &one, sizeof one);
  (void)ignored;
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr || lpWndClass->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock);
  std::string key = ClassKey(lpWndClass->lpszClassName);
  if (classes.count(key)) {
    SetLastError(1410);  // ERROR_CLASS_ALREADY_EXISTS
    return 0;
  }
  classes[key] = WindowClass{lpWndClass->lpfnWndProc, lpWndClass->hInstance};
  return static_cast<ATOM>(0xC000 + classes.size());
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                            HINSTANCE hInstance, LPVOID lpParam) {
  HWND hwnd;
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = classes.find(ClassKey(lpClassName));
    if (it == classes.end()) {
      SetLastError(1407);  // ERROR_CANNOT_FIND_WND_CLASS
      return nullptr;
    }
    hwnd = reinterpret_cast<HWND>(nextWindow);
    nextWindow += 4;
    proc = it->second.proc;
    windows[hwnd] = Window{proc, hInstance ? hInstance : it->second.instance};
  }
  // WM_CREATE receives a CREATESTRUCT on Windows; this layer hands over the
  // creation parameter alone. A result of -1 refuses the creation.
  if (proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(lpParam)) == -1) {
    std::lock_guard<std::mutex> guard(lock);
    windows.erase(hwnd);
    return nullptr;
  }
  return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  WNDPROC proc = ProcOf(hWnd);
  if (proc == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  proc(hWnd, WM_DESTROY, 0, 0);
  std::lock_guard<std::mutex> guard(lock);
  windows.erase(hWnd);
  for (auto it = timers.begin(); it != timers.end();) it = it->first.first == hWnd ? timers.erase(it) : std::next(it);
  // Messages still queued for the window are dropped with it.
  for (auto it = queue.begin(); it != queue.end();)
    it = (it->hwnd == hWnd) ? queue.erase(it) : it + 1;
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  std::lock_guard<std::mutex> guard(lock);
  return Find(hWnd) != nullptr;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  std::lock_guard<std::mutex> guard(lock);
  Window* w = Find(hWnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (nIndex) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_USERDATA: return w->userData;
    default: SetLastError(1413); return 0;  // ERROR_INVALID_INDEX
  }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::lock_guard<std::mutex> guard(lock);
  Window* w = Find(hWnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old;
  switch (nIndex) {
    case GWLP_WNDPROC:
      if (dwNewLong == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(dwNewLong);
      return old;
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = dwNewLong;
      return old;
    default: SetLastError(1413); return 0;
  }
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
  if (Msg == WM_CLOSE) DestroyWindow(hWnd);
  return 0;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (hWnd != nullptr && Find(hWnd) == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue.push_back(MSG{hWnd, Msg, wParam, lParam, GetTickCount(), {0, 0}});
  }
  kwin32::WakeMessageLoop();
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = ProcOf(hWnd);
  if (proc == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(hWnd, Msg, wParam, lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
  {
    std::lock_guard<std::mutex> guard(lock);
    queue.push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(nExitCode), 0, GetTickCount(), {0, 0}});
  }
  kwin32::WakeMessageLoop();
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND, UINT, UINT) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  while (!PopMessage(*lpMsg)) {
    if (!trimDue) {
      WaitForWork(-1);
    } else if (!WaitForWork(kIdleBeforeTrimMs)) {
      trimDue = false;
      kwin32::TrimHeap();
    }
  }
  trimDue = true;
  return lpMsg->message != WM_QUIT;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND, UINT, UINT, UINT wRemoveMsg) {
  WaitForWork(0);  // turn ready sockets into messages first
  std::lock_guard<std::mutex> guard(lock);
  if (queue.empty()) {
    if (!(wRemoveMsg & PM_REMOVE)) return FALSE;  // a timer is looked at only when taken
    return TakeDueTimer(*lpMsg);
  }
  *lpMsg = queue.front();
  if (wRemoveMsg & PM_REMOVE) queue.pop_front();
  return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  // Windows takes periods below 10 ms as 10 ms and above 0x7FFFFFFF as that.
  const UINT period = uElapse < 10 ? 10 : (uElapse > 0x7FFFFFFF ? 0x7FFFFFFF : uElapse);
  {
    std::lock_guard<std::mutex> guard(lock);
    if (hWnd == nullptr || Find(hWnd) == nullptr) {
      // Timers without a window (ids chosen by the system) are not needed here.
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    // The same window and id replace the timer, and its period starts anew.
    timers[{hWnd, nIDEvent}] = Timer{period, lpTimerFunc, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(period)};
  }
  kwin32::WakeMessageLoop();
  return nIDEvent == 0 ? 1 : nIDEvent;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  std::lock_guard<std::mutex> guard(lock);
  if (timers.erase({hWnd, uIDEvent}) == 0) {
    SetLastError(1402);  // ERROR_INVALID_TIMER_ID
    return FALSE;
  }
  return TRUE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg == nullptr || lpMsg->hwnd == nullptr) return 0;
  // A timer with a procedure calls it instead of the window's.
  if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
  }
  WNDPROC proc = ProcOf(lpMsg->hwnd);
  return proc ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}
