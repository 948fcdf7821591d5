// CWorkerPool: threads that run queued jobs first in first out and then
// wait for the next, so that no thread is created and ended per job. Jobs
// are posted, and the pool stopped, on one thread (the window's).
#ifndef KESTRELON_WORKER_POOL_H
#define KESTRELON_WORKER_POOL_H

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CWorkerPool {
 public:
  using Job = void (*)(void* argument);

  CWorkerPool(Job job, DWORD idleMs) : job_(job), idleMs_(idleMs) {}
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  // Queues `argument` for the job; starts a thread when no waiting one is
  // left for it and fewer than `limit` run. False, the system's error
  // reported, when no thread runs and none could start: nothing is queued.
  bool Post(void* argument, int limit);
  // Takes back the jobs no thread has taken yet, oldest first.
  std::deque<void*> TakeQueued();
  // Tells every thread to end once its job is done and waits at most
  // `waitMs` in all. True when all have ended; the pool may be used again
  // after.
  bool Stop(DWORD waitMs);

 private:
  struct Worker {
    CWorkerPool* pool;
    HANDLE thread = nullptr;
    bool ended = false;  // left its loop; its handle is still to be closed
  };
  static DWORD WINAPI ThreadProc(LPVOID parameter);
  void Serve(Worker& self);
  bool StartThread();
  void CloseEnded();

  const Job job_;
  const DWORD idleMs_;  // a thread with no job for this long ends
  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<void*> jobs_;
  int idle_ = 0;  // threads waiting for a job
  int live_ = 0;  // threads not ended
  bool stopping_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;  // touched on the posting thread, `ended` under the lock
};

#endif
