// Kernel objects behind HANDLE values: reference counted, so that closing a
// thread's handle does not end the thread and a finished thread does not
// invalidate a handle still held.
#ifndef KWIN32_HANDLE_H
#define KWIN32_HANDLE_H

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace kwin32 {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }
  // Waits until the object is signalled; false on time-out.
  bool Wait(DWORD milliseconds);
  void Signal();

 private:
  std::atomic<int> refs_{1};
  std::mutex lock_;
  std::condition_variable cond_;
  bool signalled_ = false;
};

}  // namespace kwin32

#endif
