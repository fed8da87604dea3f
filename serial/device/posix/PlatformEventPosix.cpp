#include "serial/device/PlatformEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

namespace serial::platform_event {
namespace {

// One waiting thread. A signal sets the word and wakes the thread once:
// nothing the waiter takes on waking is held by the signaller, so the
// hand-over costs a single switch, not one for the wake and another for a
// lock the signaller still holds.
struct Waiter {
  std::atomic<std::uint32_t> woken{0};
};

struct Event {
  std::mutex m;  // guards waiters; a waiter leaves only under it
  std::atomic<bool> signaled{false};
  std::vector<Waiter*> waiters;
};

Event* AsEvent(EventHandle e) {
  return reinterpret_cast<Event*>(e);
}

void FutexWake(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// Sleeps while word is 0, at most timeout (none when null); returns on a
// wake, a timeout, a signal or at once when word is no longer 0.
void FutexWait(std::atomic<std::uint32_t>& word, const timespec* timeout) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, 0, timeout,
            nullptr, 0);
}

// Index of the first signalled event, or -1.
int FirstSignaled(const EventHandle* events, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (AsEvent(events[i])->signaled.load(std::memory_order_acquire)) return static_cast<int>(i);
  return -1;
}

}  // namespace

EventHandle Create() {
  // Owned through the handle until Destroy, like a kernel object.
  return reinterpret_cast<EventHandle>(new Event);
}

void Destroy(EventHandle e) {
  delete AsEvent(e);
}

void Signal(EventHandle e) {
  Event* ev = AsEvent(e);
  // Held while waking, so no waiter can leave (and free its word) meanwhile.
  std::lock_guard lock(ev->m);
  ev->signaled.store(true, std::memory_order_release);
  for (Waiter* w : ev->waiters)
    if (w->woken.exchange(1, std::memory_order_acq_rel) == 0) FutexWake(w->woken);
}

void Reset(EventHandle e) {
  AsEvent(e)->signaled.store(false, std::memory_order_release);
}

bool IsSignaled(EventHandle e) {
  return AsEvent(e)->signaled.load(std::memory_order_acquire);
}

int WaitAny(const EventHandle* events, std::size_t n, std::uint32_t timeoutMs) {
  if (n == 0 || events == nullptr) return kWaitFailed;
  for (std::size_t i = 0; i < n; ++i)
    if (events[i] == kNoEvent) return kWaitFailed;

  int index = FirstSignaled(events, n);
  if (index >= 0) return index;
  if (timeoutMs == 0) return kWaitTimedOut;

  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs == 0xFFFFFFFFu;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  Waiter waiter;
  for (std::size_t i = 0; i < n; ++i) {
    Event* ev = AsEvent(events[i]);
    std::lock_guard lock(ev->m);
    ev->waiters.push_back(&waiter);
  }
  for (;;) {
    // A signal after this look sets the word first, so the sleep below
    // returns at once instead of missing it.
    index = FirstSignaled(events, n);
    if (index >= 0) break;
    if (forever) {
      FutexWait(waiter.woken, nullptr);
    } else {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) {
        index = kWaitTimedOut;
        break;
      }
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
      FutexWait(waiter.woken, &timeout);
    }
    waiter.woken.exchange(0, std::memory_order_acq_rel);  // a reset may have raced: look again
  }
  for (std::size_t i = 0; i < n; ++i) {
    Event* ev = AsEvent(events[i]);
    std::lock_guard lock(ev->m);
    auto& ws = ev->waiters;
    ws.erase(std::remove(ws.begin(), ws.end(), &waiter), ws.end());
  }
  return index;
}

}  // namespace serial::platform_event
