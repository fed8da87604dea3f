#include "serial/device/win32/Win32SerialApi.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "serial/device/win32/Win32Port.h"

namespace serial {

using win32::AsDword;
using win32::AsHandle;
using win32::AsOverlapped;
using win32::Io;
using win32::t_last_call_was_open;

// The interface's records are handed to kernel32 by address; they must be the
// platform's records field for field. Our code reads them only through the
// interface's types, the system only through its own.
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(HANDLE) == sizeof(THandle) && sizeof(HANDLE) == sizeof(EventHandle));

static_assert(sizeof(TOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(TOverlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(TOverlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(TOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(TOverlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(TOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(kStatusPending == STATUS_PENDING);

static_assert(sizeof(TDCB) == sizeof(DCB));
static_assert(offsetof(TDCB, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(TDCB, wReserved) == offsetof(DCB, wReserved));
static_assert(offsetof(TDCB, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(TDCB, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(TDCB, Parity) == offsetof(DCB, Parity));
static_assert(offsetof(TDCB, StopBits) == offsetof(DCB, StopBits));
static_assert(offsetof(TDCB, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(TDCB, EvtChar) == offsetof(DCB, EvtChar));
static_assert(offsetof(TDCB, wReserved1) == offsetof(DCB, wReserved1));

static_assert(sizeof(TCommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(offsetof(TCommTimeouts, WriteTotalTimeoutConstant) ==
              offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant));
static_assert(sizeof(TComStat) == sizeof(COMSTAT));
static_assert(offsetof(TComStat, cbInQue) == offsetof(COMSTAT, cbInQue));
static_assert(offsetof(TComStat, cbOutQue) == offsetof(COMSTAT, cbOutQue));
static_assert(sizeof(TOSVersionInfo) == sizeof(OSVERSIONINFOA));
static_assert(offsetof(TOSVersionInfo, dwPlatformId) == offsetof(OSVERSIONINFOA, dwPlatformId));
static_assert(kVerPlatformWin32NT == VER_PLATFORM_WIN32_NT);

// The interface's constants are the platform's (INVALID_HANDLE_VALUE, -1, is
// kInvalidHandle; a cast is no constant expression).
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoIncomplete == ERROR_IO_INCOMPLETE && kErrorIoPending == ERROR_IO_PENDING);
static_assert(kPurgeRxClear == PURGE_RXCLEAR && kPurgeTxAbort == PURGE_TXABORT);
static_assert(kResetDev == RESETDEV && kClrBreak == CLRBREAK);
static_assert(kEvRxChar == EV_RXCHAR && kEvEvent2 == EV_EVENT2 && kEvErr == EV_ERR);
static_assert(kCeRxOver == CE_RXOVER && kCeBreak == CE_BREAK);

namespace {

// How long a cancelled request may stay pending before it is asked again.
constexpr ULONGLONG kAskAgainMs = 1000;
// How long the event of an ended request may lag behind its status.
constexpr DWORD kEventAfterStatusMs = 1000;
// How long a cancelled request may take to end at all. Some drivers (older
// CH340 and PL2303 ones after an unplug) never end it; past this the caller
// is told so and leaves the request's record and data to the driver.
constexpr ULONGLONG kGiveUpMs = 3000;
// How long a close waits for the waits for received bytes to leave.
constexpr auto kWaitersLeaveLimit = std::chrono::seconds(2);

}  // namespace

std::shared_ptr<Win32SerialApi::Port> Win32SerialApi::Find(THandle h) {
  std::lock_guard lock(ports_mutex_);
  const auto it = ports_.find(h);
  return it == ports_.end() ? nullptr : it->second;
}

THandle Win32SerialApi::CreateFileA(const std::string& name, std::uint32_t access,
                                    std::uint32_t share, std::uint32_t creation,
                                    std::uint32_t flags) {
  HANDLE h = ::CreateFileA(name.c_str(), access, share, nullptr, creation, flags, nullptr);
  // Taken at once: the thread-local store below may itself reset it.
  const DWORD error = ::GetLastError();
  t_last_call_was_open = true;
  if (h == INVALID_HANDLE_VALUE) {
    ::SetLastError(error);
    return kInvalidHandle;
  }
  const auto handle = reinterpret_cast<THandle>(h);
  std::lock_guard lock(ports_mutex_);
  ports_[handle] = std::make_shared<Port>();
  return handle;
}

bool Win32SerialApi::CloseHandle(THandle h) {
  Io();
  if (const auto p = Find(h)) {
    p->closed.store(true);
    ::SetEvent(p->closing);
    std::unique_lock lock(p->m);
    p->left.wait_for(lock, kWaitersLeaveLimit, [&] { return p->waiters == 0; });
    const bool waitEnded = EndOwnWait(h, *p);
    const bool readEnded = EndAheadRead(h, *p);
    FinishStandIn(*p, 0, win32::kStatusCancelled);
    if (!readEnded || !waitEnded) {
      // The driver never ended our own request: its record and event stay
      // allocated, on purpose, for the rest of the process.
      static auto* kept = new std::vector<std::shared_ptr<Port>>;
      kept->push_back(p);
    }
    p->caller_wait = nullptr;
    std::lock_guard ports(ports_mutex_);
    ports_.erase(h);
  }
  {
    std::lock_guard lock(kept_mutex_);
    kept_errors_.erase(h);
  }
  return ::CloseHandle(AsHandle(h)) != 0;
}

bool Win32SerialApi::GetCommState(THandle h, TDCB& dcb) {
  Io();
  return ::GetCommState(AsHandle(h), reinterpret_cast<DCB*>(&dcb)) != 0;
}

bool Win32SerialApi::SetCommState(THandle h, const TDCB& dcb) {
  Io();
  // SetCommState takes a non-const pointer but does not write the record.
  DCB copy;
  static_assert(sizeof copy == sizeof dcb);
  std::memcpy(&copy, &dcb, sizeof copy);
  return ::SetCommState(AsHandle(h), &copy) != 0;
}

bool Win32SerialApi::SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  Io();
  return ::SetupComm(AsHandle(h), inQueue, outQueue) != 0;
}

bool Win32SerialApi::SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) {
  Io();
  COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                 timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                 timeouts.WriteTotalTimeoutConstant};
  return ::SetCommTimeouts(AsHandle(h), &t) != 0;
}

bool Win32SerialApi::SetCommMask(THandle h, std::uint32_t mask) {
  Io();
  const auto p = Find(h);
  if (p) {
    // A change of the mask ends a pending event wait with no events, as the
    // system does its own; the one a read of ours answers ends with that read.
    std::lock_guard lock(p->m);
    if (p->stand_in) {
      if (p->ahead_wake == AsHandle(p->stand_in->hEvent)) EndAheadRead(h, *p);
      FinishStandIn(*p, 0, 0);
    }
  }
  if (!::SetCommMask(AsHandle(h), mask)) return false;
  if (p) {
    std::lock_guard lock(p->m);
    p->mask = mask;
  }
  return true;
}

bool Win32SerialApi::WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) {
  Io();
  const auto p = ov ? Find(h) : nullptr;
  if (!p) return ::WaitCommEvent(AsHandle(h), AsDword(mask), AsOverlapped(ov)) != 0;
  // Started under the lock, so a wait for received bytes never sees the
  // record between its start and its pending status.
  std::unique_lock lock(p->m);
  EndOwnWait(h, *p);
  p->caller_wait = nullptr;
  if (p->missed != 0) {
    // Events our own wait took while the caller had no wait outstanding.
    *mask = p->missed;
    p->missed = 0;
    ov->StoreTransferred(0);
    ov->StoreStatus(0);
    if (ov->hEvent != kNoEvent) ::SetEvent(AsHandle(ov->hEvent));
    return true;
  }
  CollectAhead(*p);
  if (bool result = false; StartStandIn(h, *p, mask, ov, result)) {
    const DWORD error = ::GetLastError();
    lock.unlock();
    ::SetLastError(error);  // what the unlock may have changed
    return result;
  }
  p->caller_wait = ov;
  const bool started = ::WaitCommEvent(AsHandle(h), AsDword(mask), AsOverlapped(ov)) != 0;
  const DWORD error = ::GetLastError();
  lock.unlock();
  ::SetLastError(error);  // what the unlock may have changed
  return started;
}

bool Win32SerialApi::ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                              TOverlapped* ov) {
  Io();
  if (TakeAhead(h, buffer, count, read, ov)) return true;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(AsHandle(h), &errors, &stat)) return false;
  KeepErrors(h, errors);
  if (stat.cbInQue > 0) {
    if (const auto p = Find(h)) {
      std::unique_lock lock(p->m);
      if (p->ahead_pending) {
        // Bytes are queued for a read of ours: they are the older ones, so
        // that read ends first and hands them on, in order.
        AwaitAheadRead(h, *p);
        lock.unlock();
        if (TakeAhead(h, buffer, count, read, ov)) return true;
        if (!::ClearCommError(AsHandle(h), &errors, &stat)) return false;
        KeepErrors(h, errors);
      }
    }
  }
  const DWORD n = std::min<DWORD>(count, stat.cbInQue);
  if (n == 0) {
    // Completed at once with nothing, as a read with these timeouts does on
    // Windows. The event is left alone: the status tells (each signal is a
    // call into the system, under Wine a round trip to its server, and the
    // upload's drain makes 256 such reads).
    if (read) *read = 0;
    if (ov) {
      ov->StoreTransferred(0);
      ov->StoreStatus(0);
    }
    return true;
  }
  return ::ReadFile(AsHandle(h), buffer, n, AsDword(read), AsOverlapped(ov)) != 0;
}

bool Win32SerialApi::WriteFile(THandle h, const void* buffer, std::uint32_t count,
                               std::uint32_t* written, TOverlapped* ov) {
  Io();
  return ::WriteFile(AsHandle(h), buffer, count, AsDword(written), AsOverlapped(ov)) != 0;
}

bool Win32SerialApi::GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                                         bool wait) {
  Io();
  if (const auto p = ov ? Find(h) : nullptr) {
    // The caller's event wait that a read of ours answers ends with it.
    std::lock_guard lock(p->m);
    if (p->stand_in == ov) CollectAhead(*p);
  }
  DWORD n = 0;
  const BOOL ok = ::GetOverlappedResult(AsHandle(h), AsOverlapped(ov), &n, wait ? TRUE : FALSE);
  if (transferred) *transferred = n;
  return ok != 0;
}

bool Win32SerialApi::CancelIoEx(THandle h, TOverlapped* ov) {
  Io();
  if (ov == nullptr) return ::CancelIoEx(AsHandle(h), nullptr) != 0;
  if (const auto p = Find(h)) {
    std::lock_guard lock(p->m);
    if (p->stand_in == ov) {
      // No request of the system's: the read that answers it is ended (the
      // caller's event and record may go once this returns), and the wait
      // with it, unless the read had taken bytes.
      // Taken off while its read ends: bytes that read took are the next
      // wait's to tell of, and this one ends cancelled.
      std::uint32_t* const mask = p->stand_in_mask;
      p->stand_in = nullptr;
      bool readEnded = true;
      if (p->ahead_pending && p->ahead_wake == AsHandle(ov->hEvent))
        readEnded = EndAheadRead(h, *p);
      p->stand_in = ov;
      p->stand_in_mask = mask;
      FinishStandIn(*p, 0, win32::kStatusCancelled);
      if (readEnded) return true;
      ::SetLastError(WAIT_TIMEOUT);
      return false;
    }
  }
  const bool ended = EndRequest(h, ov);
  const DWORD error = ::GetLastError();
  if (const auto p = Find(h)) {
    std::lock_guard lock(p->m);
    if (p->caller_wait == ov) p->caller_wait = nullptr;
  }
  ::SetLastError(error);
  return ended;
}

bool Win32SerialApi::EndOwnWait(THandle h, Port& p) {
  if (!p.own_pending) return true;
  if (p.own.LoadStatus() == kStatusPending && !EndRequest(h, &p.own)) return false;
  p.own_pending = false;
  if (p.own.LoadStatus() == 0) p.missed |= p.own_mask;
  return true;
}

bool Win32SerialApi::EndRequest(THandle h, TOverlapped* ov) {
  if (ov->LoadStatus() != kStatusPending) return true;  // it had ended already
  if (!AskToEnd(h, ov)) return false;
  // The record and its data are the driver's until the request has ended. A
  // driver that missed the request is asked again now and then. The record's
  // event may be signalled for another reason (a stop), so the status
  // decides, not the event.
  const ULONGLONG start = ::GetTickCount64();
  ULONGLONG asked = start;
  while (ov->LoadStatus() == kStatusPending) {
    if (::GetTickCount64() - start >= kGiveUpMs) {
      ::SetLastError(WAIT_TIMEOUT);
      return false;
    }
    if (ov->hEvent == kNoEvent || ::WaitForSingleObject(AsHandle(ov->hEvent), 1) == WAIT_OBJECT_0)
      ::Sleep(1);
    if (::GetTickCount64() - asked >= kAskAgainMs) {
      // A handle that has gone (closed elsewhere) took its requests with it.
      if (!AskToEnd(h, ov)) return false;
      asked = ::GetTickCount64();
    }
  }
  // The status is written just before the event is signalled.
  if (ov->hEvent != kNoEvent) ::WaitForSingleObject(AsHandle(ov->hEvent), kEventAfterStatusMs);
  return true;
}

bool Win32SerialApi::AskToEnd(THandle h, TOverlapped* ov) {
  if (::CancelIoEx(AsHandle(h), AsOverlapped(ov))) return true;
  if (::GetLastError() != ERROR_NOT_FOUND) return false;
  // Not found, yet pending: Wine runs an event wait outside its cancellable
  // requests. Setting the event mask (to the same mask) ends a pending event
  // wait there as on Windows; a read or write is not touched by it.
  DWORD mask = 0;
  if (ov->LoadStatus() == kStatusPending && ::GetCommMask(AsHandle(h), &mask))
    ::SetCommMask(AsHandle(h), mask);
  return true;
}

bool Win32SerialApi::ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) {
  Io();
  DWORD e = 0;
  const BOOL ok = ::ClearCommError(AsHandle(h), &e, reinterpret_cast<COMSTAT*>(stat));
  if (!ok) return false;
  const std::uint32_t all = e | TakeKeptErrors(h);
  if (errors) *errors = all;
  if (stat) stat->cbInQue += static_cast<std::uint32_t>(AheadCount(h));
  return true;
}

bool Win32SerialApi::PurgeComm(THandle h, std::uint32_t flags) {
  Io();
  const auto p = (flags & kPurgeRxClear) ? Find(h) : nullptr;
  if (!p) return ::PurgeComm(AsHandle(h), flags) != 0;
  // The bytes ahead are the receive queue's oldest: they go with it. A read
  // of ours still outstanding has taken nothing yet, and keeps what comes.
  std::unique_lock lock(p->m);
  CollectAhead(*p);
  p->ahead.clear();
  const bool purged = ::PurgeComm(AsHandle(h), flags) != 0;
  const DWORD error = ::GetLastError();
  lock.unlock();
  ::SetLastError(error);  // what the unlock may have changed
  return purged;
}

bool Win32SerialApi::EscapeCommFunction(THandle h, std::uint32_t function) {
  Io();
  return ::EscapeCommFunction(AsHandle(h), function) != 0;
}

std::uint32_t Win32SerialApi::GetLastError() {
  return ::GetLastError();
}

std::string Win32SerialApi::ErrorText(std::uint32_t code) {
  // As UTF-16: the A function gives the ANSI code page (1251 on a Russian
  // system), and every text here goes on as UTF-8.
  wchar_t buffer[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
  if (n == 0) return "Unknown error " + std::to_string(code);
  // The message ends in a line break, which the error pattern has no place for;
  // trimmed in UTF-16, so no character is cut.
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ')) --n;
  if (n == 0) return "Unknown error " + std::to_string(code);
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text.data(), size, nullptr,
                        nullptr);
  return text;
}

TErrorKind Win32SerialApi::ErrorKindOf(std::uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return TErrorKind::ekNotFound;
    case ERROR_ACCESS_DENIED:
      // At an open, a COM port another program holds; later, a line that
      // went away (a USB adapter unplugged mid-run).
      return t_last_call_was_open ? TErrorKind::ekBusy : TErrorKind::ekHungUp;
    case ERROR_SHARING_VIOLATION:
      return TErrorKind::ekBusy;
    case ERROR_SEM_TIMEOUT:
      // A Bluetooth COM port whose device does not answer: not there at an
      // open, gone later.
      return t_last_call_was_open ? TErrorKind::ekNotFound : TErrorKind::ekHungUp;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:  // the requests of a line that went away
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:  // Wine, when the other side of its terminal went away
      return TErrorKind::ekHungUp;
    default:
      return TErrorKind::ekOther;
  }
}

bool Win32SerialApi::GetVersionExA(TOSVersionInfo& info) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // The port asks only whether the platform is NT, which this call still tells.
  return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != 0;
#pragma GCC diagnostic pop
}

std::uint32_t Win32SerialApi::TakeKeptErrors(THandle h) {
  std::lock_guard lock(kept_mutex_);
  const auto it = kept_errors_.find(h);
  if (it == kept_errors_.end()) return 0;
  const std::uint32_t e = it->second;
  kept_errors_.erase(it);
  return e;
}

void Win32SerialApi::KeepErrors(THandle h, std::uint32_t errors) {
  if (errors == 0) return;
  std::lock_guard lock(kept_mutex_);
  kept_errors_[h] |= errors;
}

SerialApi& PlatformSerialApi() {
  static Win32SerialApi api;
  return api;
}

}  // namespace serial
