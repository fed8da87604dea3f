#include "framework/MainThreadQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace framework {

namespace {

struct PendingCall {
  const std::function<void()>* call = nullptr;
  std::exception_ptr error;
  bool done = false;
};

struct Queue {
  std::mutex m;
  std::condition_variable queued;    // main thread: a call arrived, or a wake-up
  std::condition_variable finished;  // callers: a call has run
  std::deque<PendingCall*> calls;
  bool wake = false;
};

Queue& TheQueue() {
  static Queue q;
  return q;
}

std::atomic<WakeHook> wake_hook{nullptr};

void CallWakeHook() {
  if (const WakeHook hook = wake_hook.load(std::memory_order_acquire)) hook();
}

// Static initialisation runs on the main thread.
std::thread::id main_thread_id = std::this_thread::get_id();

}  // namespace

void SetMainThread() {
  main_thread_id = std::this_thread::get_id();
}

void SetWakeHook(WakeHook hook) {
  wake_hook.store(hook, std::memory_order_release);
}

bool IsMainThread() {
  return std::this_thread::get_id() == main_thread_id;
}

void RunOnMainThread(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  Queue& q = TheQueue();
  PendingCall pending;
  pending.call = &call;
  {
    std::lock_guard lock(q.m);
    q.calls.push_back(&pending);
  }
  q.queued.notify_all();
  CallWakeHook();
  {
    // The main thread runs every queued call when it processes messages, is
    // idle, or waits for a thread to end; so this wait ends.
    std::unique_lock lock(q.m);
    q.finished.wait(lock, [&] { return pending.done; });
  }
  if (pending.error) std::rethrow_exception(pending.error);
}

void WakeMainThreadQueue() {
  Queue& q = TheQueue();
  {
    std::lock_guard lock(q.m);
    q.wake = true;
  }
  q.queued.notify_all();
  CallWakeHook();
}

bool WaitForQueuedCall(std::uint32_t timeoutMs) {
  Queue& q = TheQueue();
  std::unique_lock lock(q.m);
  q.queued.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return !q.calls.empty() || q.wake; });
  q.wake = false;
  return !q.calls.empty();
}

bool CheckSynchronize(std::uint32_t timeoutMs) {
  Queue& q = TheQueue();
  if (timeoutMs > 0) WaitForQueuedCall(timeoutMs);
  bool ran = false;
  for (;;) {
    PendingCall* pending = nullptr;
    {
      std::lock_guard lock(q.m);
      if (q.calls.empty()) break;
      // One at a time: a call may itself wait for another thread whose call
      // is queued behind it, and that wait must be able to run it.
      pending = q.calls.front();
      q.calls.pop_front();
    }
    try {
      (*pending->call)();
    } catch (...) {
      pending->error = std::current_exception();
    }
    {
      std::lock_guard lock(q.m);
      pending->done = true;
    }
    q.finished.notify_all();
    ran = true;
    RunAfterCallHooks();
  }
  return ran;
}

}  // namespace framework
