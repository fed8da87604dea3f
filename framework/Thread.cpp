#include "framework/Thread.h"

#include <algorithm>
#include <vector>

#include "framework/MainThreadQueue.h"
#include "framework/PlatformThread.h"

namespace framework {

namespace {

// Threads whose end waits for the synchronised call now running (main thread only).
std::vector<std::unique_ptr<TThread>>& Retired() {
  static std::vector<std::unique_ptr<TThread>> retired;
  return retired;
}

}  // namespace

int PlatformPriorityValue(TThreadPriority p) {
  switch (p) {
    case TThreadPriority::tpIdle:
      return -15;
    case TThreadPriority::tpLowest:
      return -2;
    case TThreadPriority::tpLower:
      return -1;
    case TThreadPriority::tpNormal:
      return 0;
    case TThreadPriority::tpHigher:
      return 1;
    case TThreadPriority::tpHighest:
      return 2;
    case TThreadPriority::tpTimeCritical:
      return 15;
  }
  return 0;
}

TThread::TThread() = default;

TThread::~TThread() {
  // Owners stop and wait for their threads before destroying them; this only
  // makes sure no thread is left running behind a destroyed object.
  if (thread_.joinable()) {
    Terminate();
    thread_.join();
  }
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { ThreadProc(); });
}

void TThread::ThreadProc() {
  tid_.store(platform_thread::CurrentThreadId());
  ApplyPriority();
  try {
    Execute();
  } catch (...) {
    std::lock_guard lock(fatal_mutex_);
    fatal_ = std::current_exception();
  }
  finished_.store(true, std::memory_order_release);
  WakeMainThreadQueue();
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(fatal_mutex_);
  return fatal_;
}

void TThread::SetPriority(TThreadPriority p) {
  priority_.store(p);
  if (tid_.load() != 0 && !Finished()) ApplyPriority();
}

void TThread::ApplyPriority() {
  const std::int64_t tid = tid_.load();
  if (tid == 0) return;
  priority_applied_.store(platform_thread::SetPriority(tid, priority_.load()));
}

void TThread::WaitFor() {
  if (!started_) return;
  if (IsMainThread()) {
    while (!Finished()) CheckSynchronize(50);
  }
  if (thread_.joinable()) thread_.join();
}

void TThread::Synchronize(const std::function<void()>& call) {
  RunOnMainThread([&] {
    in_running_sync_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{in_running_sync_};
    call();
  });
}

void TThread::DestroyWhenFinished(std::unique_ptr<TThread> thread) {
  Retired().push_back(std::move(thread));
}

void RunAfterCallHooks() {
  auto& retired = Retired();
  if (retired.empty()) return;
  std::vector<std::unique_ptr<TThread>> ready;
  for (auto& t : retired)
    if (!t->InRunningSynchronize()) ready.push_back(std::move(t));
  retired.erase(std::remove(retired.begin(), retired.end(), nullptr), retired.end());
  for (auto& t : ready) t->WaitFor();
}

}  // namespace framework
