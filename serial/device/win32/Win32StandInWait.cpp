// The kernel32 back end's reads of its own: the one a wait for received
// bytes sleeps on, and the one that answers the caller's event wait where
// reads of an empty queue wait (Wine). Wine runs an event wait as a thread
// that polls the line every millisecond, 3 to 4 % of a core for as long as
// the port's event thread holds one; a pending read costs nothing until the
// bytes come, and it ends as they do.
#include <algorithm>
#include <cstring>

#include "serial/device/win32/Win32Port.h"

namespace serial {

using win32::AsHandle;
using win32::AsOverlapped;

namespace {

// How long a read of ours may take to end by itself once bytes are queued
// for it (Wine ends one some 0.1 to 0.8 ms after they come).
constexpr DWORD kQueuedReadEndsMs = 100;

}  // namespace

void Win32SerialApi::StartAheadRead(THandle h, Port& p, std::uint32_t want, HANDLE wake) {
  std::memset(&p.ahead_read, 0, sizeof p.ahead_read);
  p.ahead_wake = wake;
  p.ahead_read.hEvent = reinterpret_cast<EventHandle>(p.ahead_wake);
  DWORD got = 0;
  if (::ReadFile(AsHandle(h), p.ahead_buffer, std::min(want, win32::kAheadChunk), &got,
                 AsOverlapped(&p.ahead_read))) {
    if (got == 0) {
      // None: a read with these timeouts does not wait on this line
      // (Windows), so the event waits do.
      p.reads_wait = false;
      return;
    }
    // Bytes that came meanwhile.
    p.ahead_read.StoreTransferred(got);
    p.ahead_read.StoreStatus(0);
    p.ahead_pending = true;
    CollectAhead(p);
    return;
  }
  if (::GetLastError() == ERROR_IO_PENDING)
    p.ahead_pending = true;
  else
    p.reads_wait = false;
}

bool Win32SerialApi::StandsIn(const Port& p) {
  // Only what a read tells of: received bytes. Line errors are still kept
  // by every status read (ClearCommError), as the receive dispatch reads it.
  return p.reads_wait && (p.mask & kEvRxChar) && (p.mask & ~(kEvRxChar | kEvErr)) == 0;
}

bool Win32SerialApi::StartStandIn(THandle h, Port& p, std::uint32_t* mask, TOverlapped* ov,
                                  bool& result) {
  if (!StandsIn(p) || ov->hEvent == kNoEvent) return false;
  p.stand_in = ov;
  p.stand_in_mask = mask;
  ov->StoreTransferred(0);
  ov->StoreStatus(kStatusPending);
  if (p.ahead_pending) {
    // A wait for received bytes has a read outstanding: its bytes are
    // this wait's too, and this wait ends empty if it ends with none.
    ::ResetEvent(AsHandle(ov->hEvent));
  } else {
    // Started on this (the caller's) thread, which looks for a stop after
    // the call: the read resets the caller's event as a wait would.
    StartAheadRead(h, p, 1, AsHandle(ov->hEvent));
    if (p.stand_in == ov && !p.ahead_pending) {
      // Reads do not wait here (Windows, or a read that failed): the
      // line's own event wait it is.
      p.stand_in = nullptr;
      p.stand_in_mask = nullptr;
      return false;
    }
  }
  result = p.stand_in != ov;  // a byte had come: ended at once
  if (!result) ::SetLastError(ERROR_IO_PENDING);
  return true;
}

void Win32SerialApi::FinishStandIn(Port& p, std::uint32_t events, std::uintptr_t status,
                                   bool signal) {
  TOverlapped* ov = p.stand_in;
  if (!ov) return;
  p.stand_in = nullptr;
  *p.stand_in_mask = events;
  p.stand_in_mask = nullptr;
  ov->StoreStatus(status);
  if (signal) ::SetEvent(AsHandle(ov->hEvent));
}

void Win32SerialApi::AwaitAheadRead(THandle h, Port& p) {
  if (!p.ahead_pending) return;
  if (p.ahead_read.LoadStatus() == kStatusPending)
    ::WaitForSingleObject(p.ahead_wake, kQueuedReadEndsMs);
  if (p.ahead_read.LoadStatus() == kStatusPending)
    EndAheadRead(h, p);
  else
    CollectAhead(p);
}

}  // namespace serial
