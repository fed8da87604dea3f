// Wrappers of the synchronisation objects the port and its threads use.
#pragma once

#include <cstdint>
#include <mutex>

#include "serial/device/PlatformEvent.h"

namespace serial {

enum class TWaitResult { Signaled = 0, TimedOut = 1, Abandoned = 2, Failed = 3 };

// Holds one event handle; destroying the object closes it.
class TVaHandleObject {
 public:
  explicit TVaHandleObject(EventHandle handle) : handle_(handle) {}
  virtual ~TVaHandleObject();
  TVaHandleObject(const TVaHandleObject&) = delete;
  TVaHandleObject& operator=(const TVaHandleObject&) = delete;

  EventHandle Handle() const { return handle_; }
  std::uint32_t LastError() const { return last_error_; }
  // timeoutMs 0xFFFFFFFF: no limit.
  TWaitResult WaitFor(std::uint32_t timeoutMs);

 private:
  EventHandle handle_;
  std::uint32_t last_error_ = 0;
};

class TVaEvent : public TVaHandleObject {
 public:
  using TVaHandleObject::TVaHandleObject;
  void Signal() { platform_event::Signal(Handle()); }
  void Reset() { platform_event::Reset(Handle()); }
};

// Manual reset, not signalled at creation.
class TVaWaitEvent : public TVaEvent {
 public:
  TVaWaitEvent() : TVaEvent(platform_event::Create()) {}
};

// A re-entrant lock: the thread that holds it may enter again.
class TVaCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // For std::lock_guard and friends.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};

// Waits for the first of several events, in the given order of precedence.
// Returns its index, or -1 on time-out, -2 on failure.
int WaitForAny(std::initializer_list<TVaEvent*> events, std::uint32_t timeoutMs);

}  // namespace serial
