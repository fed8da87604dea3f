// The thread base: created suspended and started later, with a priority, a
// terminate flag, wait-for-end and the synchronise operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace framework {

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// The platform's thread priority value of each member (-15, -2, -1, 0, 1, 2, 15).
int PlatformPriorityValue(TThreadPriority p);

class TThread {
 public:
  TThread();  // created suspended
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Lets the thread run its body.
  void Start();
  bool Started() const { return started_; }

  // Marks the thread terminated; the body looks at the flag.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Waits until the body has ended and joins the thread. On the main thread
  // the wait keeps running synchronised calls, so a thread that hands work to
  // the main thread while it ends does not block the wait.
  void WaitFor();
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // An exception that ended the body, if any.
  std::exception_ptr FatalException() const;

  // Recorded as asked; applied to the running thread at once, best effort (a
  // priority the system refuses stays recorded, never an error).
  TThreadPriority Priority() const { return priority_.load(); }
  void SetPriority(TThreadPriority p);
  // Whether the system took the last priority asked of the running thread.
  bool PriorityApplied() const { return priority_applied_.load(); }

  // Main thread only: true while this thread's synchronised call is running
  // on the main thread. Waiting for the thread then would never end.
  bool InRunningSynchronize() const { return in_running_sync_; }

  // Main thread only: destroys the thread once it has ended, after the
  // synchronised call it is blocked on has returned.
  static void DestroyWhenFinished(std::unique_ptr<TThread> thread);

 protected:
  virtual void Execute() = 0;
  // Runs call on the main thread and blocks until it has run; an exception
  // raised by the call is thrown here again.
  void Synchronize(const std::function<void()>& call);

 private:
  void ThreadProc();
  void ApplyPriority();

  std::thread thread_;
  bool started_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::atomic<bool> priority_applied_{true};
  std::atomic<std::int64_t> tid_{0};
  mutable std::mutex fatal_mutex_;
  std::exception_ptr fatal_;
  bool in_running_sync_ = false;  // main thread only
};

}  // namespace framework
