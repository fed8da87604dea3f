// The kernel32 back end's wait for received bytes, and the bytes a read of
// its own took ahead of the caller.
#include <algorithm>
#include <cstring>

#include "framework/Clock.h"
#include "serial/device/win32/Win32Port.h"

namespace serial {

using win32::AsDword;
using win32::AsHandle;
using win32::AsOverlapped;
using win32::Io;
using win32::IsSet;
using win32::ReceiveWaitsEnded;

namespace {

// The longest single sleep of a wait for received bytes on an event wait,
// after which it looks at the queue again whatever the notices said. On
// Windows the driver ends the event wait as the bytes come, and the look only
// backs it up (a sleep there lasts one timer period, 15.6 ms, no timer period
// is asked for). Where a read of an empty queue waits (Wine), the wait sleeps
// on a read of its own instead, which the bytes end.
constexpr std::int64_t kLongestSleepUs = 1000;
// How long a cancelled read of our own may take to end; some drivers never
// end one (older CH340 and PL2303 ones after an unplug).
constexpr DWORD kReadEndLimitMs = 3000;
// A request's status once a cancellation has ended it.
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;

}  // namespace

bool Win32SerialApi::Queued(THandle h, std::uint32_t& count) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(AsHandle(h), &errors, &stat)) return false;
  KeepErrors(h, errors);
  count = stat.cbInQue + static_cast<std::uint32_t>(AheadCount(h));
  return true;
}

void Win32SerialApi::EndReceiveWaits() {
  ::SetEvent(ReceiveWaitsEnded());
}

void Win32SerialApi::ResumeReceiveWaits() {
  ::ResetEvent(ReceiveWaitsEnded());
}

std::size_t Win32SerialApi::AheadCount(THandle h) {
  const auto p = Find(h);
  if (!p) return 0;
  std::lock_guard lock(p->m);
  CollectAhead(*p);
  return p->ahead.size();
}

void Win32SerialApi::CollectAhead(Port& p) {
  if (!p.ahead_pending || p.ahead_read.LoadStatus() == kStatusPending) return;
  p.ahead_pending = false;
  const std::uintptr_t status = p.ahead_read.LoadStatus();
  // A read that was cancelled or failed may still have taken some bytes.
  const auto n = std::min<std::size_t>(p.ahead_read.LoadTransferred(), sizeof p.ahead_buffer);
  p.ahead.insert(p.ahead.end(), p.ahead_buffer, p.ahead_buffer + n);
  if (status != 0 && status != kStatusCancelled) p.reads_wait = false;  // the event waits take over
  // The bytes left the queue before an event wait saw them: the arrival is
  // handed to the caller's next one. (One of the caller's that is already
  // outstanding is not ended: Wine fails a wait that a change of the mask
  // ends, and its own polling of the line missed most arrivals before, the
  // caller reading them within a millisecond.)
  if (n > 0 && (p.mask & kEvRxChar)) p.missed |= kEvRxChar;
}

bool Win32SerialApi::EndAheadRead(THandle h, Port& p) {
  if (!p.ahead_pending) return true;
  if (p.ahead_read.LoadStatus() == kStatusPending) {
    // Not found: it is ending by itself. (Not the mask change that ends an
    // event wait: that would end the caller's wait, which Wine then fails.)
    ::CancelIoEx(AsHandle(h), AsOverlapped(&p.ahead_read));
    // The status is written just before the event is signalled.
    ::WaitForSingleObject(p.ahead_event, kReadEndLimitMs);
    if (p.ahead_read.LoadStatus() == kStatusPending) return false;
  }
  CollectAhead(p);
  return true;
}

bool Win32SerialApi::TakeAhead(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                               TOverlapped* ov) {
  const auto p = Find(h);
  if (!p) return false;
  std::size_t n = 0;
  {
    std::lock_guard lock(p->m);
    CollectAhead(*p);
    if (p->ahead.empty()) return false;
    n = std::min<std::size_t>(count, p->ahead.size());
    std::copy_n(p->ahead.begin(), n, static_cast<std::uint8_t*>(buffer));
    p->ahead.erase(p->ahead.begin(), p->ahead.begin() + static_cast<std::ptrdiff_t>(n));
  }
  // Ended at once: the status tells, the event is left alone.
  if (read) *read = static_cast<std::uint32_t>(n);
  if (ov) {
    ov->StoreTransferred(n);
    ov->StoreStatus(0);
  }
  return true;
}

bool Win32SerialApi::WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) {
  Io();
  const auto p = Find(h);
  if (!p) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const HANDLE ended = ReceiveWaitsEnded();
  const std::int64_t end =
      framework::MonotonicMicroseconds() + std::max<std::int64_t>(timeoutUs, 0);
  {
    std::lock_guard lock(p->m);
    ++p->waiters;
  }
  struct Leave {
    Win32SerialApi& api;
    THandle h;
    Port& p;
    ~Leave() {
      const DWORD error = ::GetLastError();  // the caller's to read
      {
        std::lock_guard lock(p.m);
        // No read of ours outlives the wait: what it took stays ahead.
        api.EndAheadRead(h, p);
        --p.waiters;
      }
      p.left.notify_all();
      ::SetLastError(error);
    }
  } leave{*this, h, *p};
  for (;;) {
    if (IsSet(ended)) {
      ::SetLastError(ERROR_OPERATION_ABORTED);
      return false;
    }
    std::uint32_t queued = 0;
    if (!Queued(h, queued)) return false;
    if (queued >= count) return true;
    const std::int64_t left = end - framework::MonotonicMicroseconds();
    if (left <= 0) return true;
    // Sleep on whatever tells of the next arrival: a read of our own where
    // a read of an empty queue waits; else the caller's event wait while it
    // is outstanding, else one of our own. Started after the look at the
    // queue, a wait still sees bytes that came in between: a read takes
    // them, and the line keeps the events that happened while no wait was
    // outstanding.
    HANDLE wake = nullptr;
    bool mine = false;
    bool reading = false;
    {
      std::lock_guard lock(p->m);
      if (IsSet(p->closing)) return true;
      CollectAhead(*p);
      if (p->reads_wait && !p->ahead_pending) {
        const auto want = std::min<std::uint32_t>(count - queued, win32::kAheadChunk);
        std::memset(&p->ahead_read, 0, sizeof p->ahead_read);
        p->ahead_read.hEvent = reinterpret_cast<EventHandle>(p->ahead_event);
        DWORD got = 0;
        if (::ReadFile(AsHandle(h), p->ahead_buffer, want, &got, AsOverlapped(&p->ahead_read))) {
          // Bytes that came meanwhile, or none: a read with these timeouts
          // does not wait on this line, so the event waits do.
          p->ahead_read.StoreTransferred(got);
          p->ahead_read.StoreStatus(0);
          p->ahead_pending = true;
          CollectAhead(*p);
          if (got == 0) p->reads_wait = false;
          continue;
        }
        if (::GetLastError() == ERROR_IO_PENDING)
          p->ahead_pending = true;
        else
          p->reads_wait = false;
      }
      TOverlapped* theirs = p->caller_wait;
      if (p->ahead_pending) {
        wake = p->ahead_event;
        reading = true;
      } else if (theirs && theirs->hEvent != kNoEvent && theirs->LoadStatus() == kStatusPending) {
        wake = AsHandle(theirs->hEvent);
      } else if (!p->own_pending && !p->own_failed) {
        if (::WaitCommEvent(AsHandle(h), AsDword(&p->own_mask), AsOverlapped(&p->own))) {
          p->missed |= p->own_mask;
          continue;
        }
        if (::GetLastError() == ERROR_IO_PENDING)
          p->own_pending = true;
        else
          p->own_failed = true;  // no waits on this line: short pauses instead
      }
      if (!wake && p->own_pending) {
        wake = p->own_event;
        mine = true;
      }
    }
    // A read ends when the bytes come: it needs no look at the queue meanwhile.
    const std::int64_t sleep = reading ? left : std::min(left, kLongestSleepUs);
    const auto ms = static_cast<DWORD>(std::min<std::int64_t>((sleep + 999) / 1000, INFINITE - 1));
    if (!wake) {
      // A line without event waits (or one that fails them): a pause of a
      // millisecond, so the caller looks again soon without holding a core.
      const HANDLE pause[] = {p->closing, ended};
      ::WaitForMultipleObjects(2, pause, FALSE, std::min<DWORD>(ms, 1));
      std::lock_guard lock(p->m);
      p->own_failed = false;
      continue;
    }
    const HANDLE handles[] = {wake, p->closing, ended};
    const DWORD r = ::WaitForMultipleObjects(3, handles, FALSE, ms);
    std::lock_guard lock(p->m);
    if (reading) {
      CollectAhead(*p);
    } else if (mine && p->own_pending && p->own.LoadStatus() != kStatusPending) {
      p->own_pending = false;
      if (p->own.LoadStatus() == 0)
        p->missed |= p->own_mask;
      else
        p->own_failed = true;  // a wait that ended in failure is not started again at once
    } else if (!mine && r == WAIT_OBJECT_0 && p->caller_wait &&
               p->caller_wait->LoadStatus() == kStatusPending) {
      // The caller's event also tells of its stop while its wait is still
      // pending: pause instead of waking on it again at once.
      p->own_failed = true;
    }
  }
}

}  // namespace serial
