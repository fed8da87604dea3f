// Manual-reset events on Windows are kernel events, so a handle can sit in a
// real overlapped record and the driver signals it itself.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "serial/device/PlatformEvent.h"

namespace serial::platform_event {
namespace {

HANDLE AsHandle(EventHandle e) {
  return reinterpret_cast<HANDLE>(e);
}

}  // namespace

EventHandle Create() {
  // A handle the process cannot do without; failing here is out of resources.
  HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return h == nullptr ? kNoEvent : reinterpret_cast<EventHandle>(h);
}

void Destroy(EventHandle e) {
  if (e != kNoEvent) ::CloseHandle(AsHandle(e));
}

void Signal(EventHandle e) {
  ::SetEvent(AsHandle(e));
}

void Reset(EventHandle e) {
  ::ResetEvent(AsHandle(e));
}

bool IsSignaled(EventHandle e) {
  return ::WaitForSingleObject(AsHandle(e), 0) == WAIT_OBJECT_0;
}

int WaitAny(const EventHandle* events, std::size_t n, std::uint32_t timeoutMs) {
  if (n == 0 || events == nullptr || n > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (std::size_t i = 0; i < n; ++i) {
    if (events[i] == kNoEvent) return kWaitFailed;
    handles[i] = AsHandle(events[i]);
  }
  // With several signalled, the lowest index is reported: the order of precedence.
  const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, timeoutMs);
  if (r < WAIT_OBJECT_0 + n) return static_cast<int>(r - WAIT_OBJECT_0);
  if (r == WAIT_TIMEOUT) return kWaitTimedOut;
  return kWaitFailed;
}

}  // namespace serial::platform_event
