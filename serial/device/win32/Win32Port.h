// What the kernel32 back end keeps for an open handle, and the helpers its
// two files share (Win32SerialApi.cpp: the calls; Win32ReceiveWait.cpp: the
// wait for received bytes and the bytes it read ahead of the caller).
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "serial/device/win32/Win32SerialApi.h"

namespace serial {

namespace win32 {

inline HANDLE AsHandle(THandle h) {
  return reinterpret_cast<HANDLE>(h);
}

inline OVERLAPPED* AsOverlapped(TOverlapped* ov) {
  return reinterpret_cast<OVERLAPPED*>(ov);
}

inline DWORD* AsDword(std::uint32_t* p) {
  return reinterpret_cast<DWORD*>(p);
}

// Set once by EndReceiveWaits, for the rest of the process.
inline HANDLE ReceiveWaitsEnded() {
  static const HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return ended;
}
// The same, looked at without a call into the system (one per look, under
// Wine a round trip to its server); the event is what a sleep wakes on.
inline std::atomic<bool> receive_waits_ended{false};

// Whether the last call of this thread was an open: error 5 means another
// program holds the port there, and a line that went away anywhere else.
inline thread_local bool t_last_call_was_open = false;

inline void Io() {
  t_last_call_was_open = false;
}

// The most a read ahead of the caller asks for at a time.
inline constexpr std::uint32_t kAheadChunk = 256;
// A request's status once a cancellation has ended it.
inline constexpr std::uintptr_t kStatusCancelled = 0xC0000120;

}  // namespace win32

struct Win32SerialApi::Port {
  Port()
      : own_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        ahead_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        closing(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    own.hEvent = reinterpret_cast<EventHandle>(own_event);
  }
  ~Port() {
    ::CloseHandle(own_event);
    ::CloseHandle(ahead_event);
    ::CloseHandle(closing);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  std::mutex m;
  // The event mask last set on the handle.
  std::uint32_t mask = 0;
  // The caller's event wait last started; the caller's until it has ended.
  TOverlapped* caller_wait = nullptr;
  // Our own event wait, for when the caller has none outstanding.
  TOverlapped own{};
  std::uint32_t own_mask = 0;
  bool own_pending = false;
  bool own_failed = false;
  // The events our own waits took, for the caller's next wait.
  std::uint32_t missed = 0;
  HANDLE own_event;

  // Where a read of an empty queue waits for its bytes (Wine does, despite
  // the port's timeouts), a wait for received bytes sleeps on such a read
  // of its own: it ends the moment bytes come, where an event wait there
  // ends only some 10 ms later. What it read waits here, oldest first, for
  // the caller's reads, and counts as queued.
  std::deque<std::uint8_t> ahead;
  TOverlapped ahead_read{};
  std::uint8_t ahead_buffer[win32::kAheadChunk];
  bool ahead_pending = false;
  // Unknown until a read of an empty queue has shown it; false after one
  // completed at once with nothing (Windows) or failed.
  bool reads_wait = true;
  HANDLE ahead_event;
  // The event the outstanding read of ours signals: ahead_event, or the
  // event of the caller's wait it stands in for.
  HANDLE ahead_wake = nullptr;

  // Where reads wait, the caller's event wait for received bytes and line
  // errors is answered by a read of ours instead of the line's event wait
  // (Wine polls the line every millisecond for one of those, 3 to 4 % of a
  // core while it is outstanding): the caller's record and where its events
  // go, while outstanding.
  TOverlapped* stand_in = nullptr;
  std::uint32_t* stand_in_mask = nullptr;

  HANDLE closing;                   // signalled when the handle is closed
  std::atomic<bool> closed{false};  // the same, for a look
  int waiters = 0;
  std::condition_variable left;
};

}  // namespace serial
