// Threads and waits on pthreads.
#include <windows.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "Handle.h"
#include "Internal.h"

namespace kwin32 {

bool KernelObject::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> guard(lock_);
  if (milliseconds == INFINITE) {
    cond_.wait(guard, [this] { return signalled_; });
    return true;
  }
  return cond_.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return signalled_; });
}

void KernelObject::Signal() {
  std::lock_guard<std::mutex> guard(lock_);
  signalled_ = true;
  cond_.notify_all();
}

}  // namespace kwin32

namespace {

class Thread : public kwin32::KernelObject {
 public:
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
};

void* ThreadMain(void* arg) {
  auto* thread = static_cast<Thread*>(arg);
  DWORD code = thread->start(thread->parameter);
  thread->exitCode = code;
  thread->Signal();
  thread->Release();  // the thread's own reference
  return nullptr;
}

}  // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED)) {
    SetLastError(lpStartAddress ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* thread = new Thread;
  thread->start = lpStartAddress;
  thread->parameter = lpParameter;
  thread->AddRef();  // one for the handle, one for the running thread
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize != 0) pthread_attr_setstacksize(&attr, dwStackSize < 65536 ? 65536 : dwStackSize);
  pthread_t id;
  int err = pthread_create(&id, &attr, ThreadMain, thread);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    thread->Release();
    thread->Release();
    kwin32::FailWithErrno(err);
    return nullptr;
  }
  if (lpThreadId) *lpThreadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread) & 0xFFFFFFFF);
  return thread;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto* object = static_cast<kwin32::KernelObject*>(hHandle);
  if (object == nullptr || hHandle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto* thread = dynamic_cast<Thread*>(static_cast<kwin32::KernelObject*>(hThread));
  if (thread == nullptr || lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = thread->exitCode;
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto* object = static_cast<kwin32::KernelObject*>(hObject);
  if (object == nullptr || hObject == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Release();
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

void WINAPI Sleep(DWORD dwMilliseconds) {
  struct timespec ts = {static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

DWORD WINAPI GetTickCount(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<DWORD>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}
