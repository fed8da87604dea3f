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
using win32::kStatusCancelled;
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
  win32::receive_waits_ended.store(true);
  ::SetEvent(ReceiveWaitsEnded());
}

void Win32SerialApi::ResumeReceiveWaits() {
  ::ResetEvent(ReceiveWaitsEnded());
  win32::receive_waits_ended.store(false);
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
  if (p.stand_in) {
    // The caller's wait is told of the bytes; a read that ended with none
    // leaves it without one, so it ends empty and the caller starts again.
    // Its own read has signalled its event already.
    const bool signalled = p.ahead_wake == AsHandle(p.stand_in->hEvent);
    FinishStandIn(p, n > 0 ? kEvRxChar : 0, 0, !signalled);
    return;
  }
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
    // The status decides, not the event: the one of a caller's wait may be
    // signalled for a stop as well.
    const ULONGLONG start = ::GetTickCount64();
    while (p.ahead_read.LoadStatus() == kStatusPending) {
      if (::GetTickCount64() - start >= kReadEndLimitMs) return false;
      if (::WaitForSingleObject(p.ahead_wake, 1) == WAIT_OBJECT_0) ::Sleep(1);
    }
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
    // The rest from the line, as a read of the queue would take it whole
    // (a read of ours may have taken only the first byte of a reply).
    DWORD errors = 0;
    COMSTAT stat{};
    const bool looked =
        n < count && !p->ahead_pending && ::ClearCommError(AsHandle(h), &errors, &stat);
    if (looked) KeepErrors(h, errors);  // what the look cleared is still the caller's
    if (looked && stat.cbInQue > 0) {
      StartAheadRead(h, *p, static_cast<std::uint32_t>(count - n), p->ahead_event);
      AwaitAheadRead(h, *p);
      const std::size_t more = std::min<std::size_t>(count - n, p->ahead.size());
      std::copy_n(p->ahead.begin(), more, static_cast<std::uint8_t*>(buffer) + n);
      p->ahead.erase(p->ahead.begin(), p->ahead.begin() + static_cast<std::ptrdiff_t>(more));
      n += more;
    }
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
        // No read of the wait's outlives it (what it took stays ahead); one
        // that answers the caller's event wait goes on doing so.
        if (p.ahead_wake == p.ahead_event) api.EndAheadRead(h, p);
        // A caller's event wait left with no read of its own ends empty:
        // its thread starts the next one itself.
        if (p.stand_in && !p.ahead_pending) FinishStandIn(p, 0, 0);
        --p.waiters;
      }
      p.left.notify_all();
      ::SetLastError(error);
    }
  } leave{*this, h, *p};
  for (;;) {
    if (win32::receive_waits_ended.load()) {
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
      if (p->closed.load()) return true;
      CollectAhead(*p);
      if (p->reads_wait && !p->ahead_pending) {
        StartAheadRead(h, *p, count - queued, p->ahead_event);
        // Ended at once, with bytes that came meanwhile or with none (then
        // a read does not wait on this line, and the event waits do).
        if (!p->ahead_pending) continue;
      }
      TOverlapped* theirs = p->caller_wait;
      if (p->ahead_pending) {
        // Ours, or the one answering the caller's event wait.
        wake = p->ahead_wake;
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
