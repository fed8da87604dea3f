// Manual-reset events with waits on one or several of them: the primitive
// under the component's event wrappers and the completion signal of
// overlapped device requests. On Windows a handle is a kernel event (so the
// driver can signal it in a real overlapped record); on POSIX systems it is a
// process-local object, so every back end can signal it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial {

using EventHandle = std::intptr_t;
inline constexpr EventHandle kNoEvent = 0;

namespace platform_event {

// A new manual-reset event, not signalled.
EventHandle Create();
void Destroy(EventHandle e);
void Signal(EventHandle e);
void Reset(EventHandle e);
bool IsSignaled(EventHandle e);

inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitFailed = -2;

// Waits until one of the n events is signalled or timeoutMs has passed
// (0xFFFFFFFF: no limit). Returns the index of the first signalled event in
// the given order, kWaitTimedOut, or kWaitFailed for a bad argument.
int WaitAny(const EventHandle* events, std::size_t n, std::uint32_t timeoutMs);
inline int Wait(EventHandle e, std::uint32_t timeoutMs) {
  return WaitAny(&e, 1, timeoutMs);
}

}  // namespace platform_event
}  // namespace serial
