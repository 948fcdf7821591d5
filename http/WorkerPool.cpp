#include "http/WorkerPool.h"

#include <algorithm>
#include <chrono>

#include "config/Log.h"

bool CWorkerPool::Post(void* argument, int limit) {
  CloseEnded();
  std::unique_lock<std::mutex> guard(lock_);
  stopping_ = false;
  jobs_.push_back(argument);
  ready_.notify_one();
  // A thread between two jobs counts as busy: when the limit is reached,
  // it takes this one once free.
  if (static_cast<int>(jobs_.size()) <= idle_ || live_ >= limit) return true;
  guard.unlock();
  if (StartThread()) return true;
  guard.lock();
  if (live_ > 0) return true;  // a running thread takes it when free
  auto queued = std::find(jobs_.begin(), jobs_.end(), argument);
  if (queued == jobs_.end()) return true;  // taken after all
  jobs_.erase(queued);
  return false;
}

bool CWorkerPool::StartThread() {
  auto worker = std::make_unique<Worker>();
  worker->pool = this;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++live_;
  }
  worker->thread = CreateThread(nullptr, 0, &CWorkerPool::ThreadProc, worker.get(), 0, nullptr);
  if (worker->thread == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    std::lock_guard<std::mutex> guard(lock_);
    --live_;
    return false;
  }
  workers_.push_back(std::move(worker));
  return true;
}

DWORD WINAPI CWorkerPool::ThreadProc(LPVOID parameter) {
  auto* self = static_cast<Worker*>(parameter);
  // Written here, before any job, so that it never falls inside the text
  // of a job's log.
  theLog.Write("[スレッドを作成しました]\n");
  self->pool->Serve(*self);
  return 0;
}

void CWorkerPool::Serve(Worker& self) {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    ++idle_;
    const bool woken = ready_.wait_for(guard, std::chrono::milliseconds(idleMs_),
                                       [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (!woken || stopping_) break;
    void* argument = jobs_.front();
    jobs_.pop_front();
    guard.unlock();
    job_(argument);
    guard.lock();
  }
  --live_;
  self.ended = true;
}

// Waits for the threads that ended of themselves, which have nothing left
// to run, and closes their handles.
void CWorkerPool::CloseEnded() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    bool ended;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ended = (*it)->ended;
    }
    if (!ended) {
      ++it;
      continue;
    }
    WaitForSingleObject((*it)->thread, INFINITE);
    CloseHandle((*it)->thread);
    theLog.Write("[スレッドのハンドルを閉じました]\n");
    it = workers_.erase(it);
  }
}

std::deque<void*> CWorkerPool::TakeQueued() {
  std::lock_guard<std::mutex> guard(lock_);
  std::deque<void*> taken;
  taken.swap(jobs_);
  return taken;
}

bool CWorkerPool::Stop(DWORD waitMs) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  ready_.notify_all();
  const DWORD start = GetTickCount();
  for (auto it = workers_.begin(); it != workers_.end();) {
    const DWORD spent = GetTickCount() - start;
    if (WaitForSingleObject((*it)->thread, spent < waitMs ? waitMs - spent : 0) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    CloseHandle((*it)->thread);
    theLog.Write("[スレッドのハンドルを閉じました]\n");
    it = workers_.erase(it);
  }
  return workers_.empty();
}
