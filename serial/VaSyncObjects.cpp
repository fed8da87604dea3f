#include "serial/VaSyncObjects.h"

#include <array>

namespace serial {

TVaHandleObject::~TVaHandleObject() {
  platform_event::Destroy(handle_);
}

TWaitResult TVaHandleObject::WaitFor(std::uint32_t timeoutMs) {
  switch (platform_event::Wait(handle_, timeoutMs)) {
    case 0:
      return TWaitResult::Signaled;
    case platform_event::kWaitTimedOut:
      return TWaitResult::TimedOut;
    case platform_event::kWaitFailed:
      last_error_ = 87;  // invalid parameter: the only way this wait fails
      return TWaitResult::Failed;
    default:
      return TWaitResult::Failed;
  }
}

int WaitForAny(std::initializer_list<TVaEvent*> events, std::uint32_t timeoutMs) {
  std::array<EventHandle, 8> handles{};  // the write road allocates nothing
  if (events.size() > handles.size()) return -2;
  std::size_t n = 0;
  for (TVaEvent* e : events) handles[n++] = e->Handle();
  const int r = platform_event::WaitAny(handles.data(), n, timeoutMs);
  return r >= 0 ? r : (r == platform_event::kWaitTimedOut ? -1 : -2);
}

}  // namespace serial
