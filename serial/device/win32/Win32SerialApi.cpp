#include "serial/device/win32/Win32SerialApi.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>  // timeBeginPeriod

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace serial {

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

HANDLE AsHandle(THandle h) {
  return reinterpret_cast<HANDLE>(h);
}

OVERLAPPED* AsOverlapped(TOverlapped* ov) {
  return reinterpret_cast<OVERLAPPED*>(ov);
}

DWORD* AsDword(std::uint32_t* p) {
  return reinterpret_cast<DWORD*>(p);
}

// How long a cancelled request may stay pending before it is asked again.
constexpr ULONGLONG kAskAgainMs = 1000;
// How long the event of an ended request may lag behind its status.
constexpr DWORD kEventAfterStatusMs = 1000;

}  // namespace

THandle Win32SerialApi::CreateFileA(const std::string& name, std::uint32_t access,
                                    std::uint32_t share, std::uint32_t creation,
                                    std::uint32_t flags) {
  HANDLE h = ::CreateFileA(name.c_str(), access, share, nullptr, creation, flags, nullptr);
  return reinterpret_cast<THandle>(h);
}

bool Win32SerialApi::CloseHandle(THandle h) {
  {
    std::lock_guard lock(kept_mutex_);
    kept_errors_.erase(h);
  }
  return ::CloseHandle(AsHandle(h)) != 0;
}

bool Win32SerialApi::GetCommState(THandle h, TDCB& dcb) {
  return ::GetCommState(AsHandle(h), reinterpret_cast<DCB*>(&dcb)) != 0;
}

bool Win32SerialApi::SetCommState(THandle h, const TDCB& dcb) {
  // SetCommState takes a non-const pointer but does not write the record.
  DCB copy;
  static_assert(sizeof copy == sizeof dcb);
  std::memcpy(&copy, &dcb, sizeof copy);
  return ::SetCommState(AsHandle(h), &copy) != 0;
}

bool Win32SerialApi::SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  return ::SetupComm(AsHandle(h), inQueue, outQueue) != 0;
}

bool Win32SerialApi::SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) {
  COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                 timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                 timeouts.WriteTotalTimeoutConstant};
  return ::SetCommTimeouts(AsHandle(h), &t) != 0;
}

bool Win32SerialApi::SetCommMask(THandle h, std::uint32_t mask) {
  return ::SetCommMask(AsHandle(h), mask) != 0;
}

bool Win32SerialApi::WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) {
  return ::WaitCommEvent(AsHandle(h), AsDword(mask), AsOverlapped(ov)) != 0;
}

bool Win32SerialApi::ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                              TOverlapped* ov) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(AsHandle(h), &errors, &stat)) return false;
  KeepErrors(h, errors);
  const DWORD n = std::min<DWORD>(count, stat.cbInQue);
  if (n == 0) {
    // Completed at once with nothing, as a read with these timeouts does on Windows.
    if (read) *read = 0;
    if (ov) {
      ov->StoreTransferred(0);
      ov->StoreStatus(0);
      if (ov->hEvent != kNoEvent) ::SetEvent(AsHandle(ov->hEvent));
    }
    return true;
  }
  return ::ReadFile(AsHandle(h), buffer, n, AsDword(read), AsOverlapped(ov)) != 0;
}

bool Win32SerialApi::WriteFile(THandle h, const void* buffer, std::uint32_t count,
                               std::uint32_t* written, TOverlapped* ov) {
  return ::WriteFile(AsHandle(h), buffer, count, AsDword(written), AsOverlapped(ov)) != 0;
}

bool Win32SerialApi::GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                                         bool wait) {
  DWORD n = 0;
  const BOOL ok = ::GetOverlappedResult(AsHandle(h), AsOverlapped(ov), &n, wait ? TRUE : FALSE);
  if (transferred) *transferred = n;
  return ok != 0;
}

bool Win32SerialApi::CancelIoEx(THandle h, TOverlapped* ov) {
  if (ov == nullptr) return ::CancelIoEx(AsHandle(h), nullptr) != 0;
  if (ov->LoadStatus() != kStatusPending) return true;  // it had ended already
  if (!AskToEnd(h, ov)) return false;
  // The record and its data are the driver's until the request has ended. A
  // driver that missed the request is asked again now and then. The record's
  // event may be signalled for another reason (a stop), so the status
  // decides, not the event.
  ULONGLONG asked = ::GetTickCount64();
  while (ov->LoadStatus() == kStatusPending) {
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
  DWORD e = 0;
  const BOOL ok = ::ClearCommError(AsHandle(h), &e, reinterpret_cast<COMSTAT*>(stat));
  if (!ok) return false;
  const std::uint32_t all = e | TakeKeptErrors(h);
  if (errors) *errors = all;
  return true;
}

bool Win32SerialApi::PurgeComm(THandle h, std::uint32_t flags) {
  return ::PurgeComm(AsHandle(h), flags) != 0;
}

bool Win32SerialApi::EscapeCommFunction(THandle h, std::uint32_t function) {
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

bool Win32SerialApi::WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) {
  // Windows sleeps in steps of its timer period, 15.6 ms unless a program
  // asks for less; a 1 ms period for the process keeps each pause of a reply
  // wait near 1 ms instead of adding up to 15 ms to every block.
  static const bool finePeriod = ::timeBeginPeriod(1) == TIMERR_NOERROR;
  (void)finePeriod;
  return SerialApi::WaitForReceived(h, count, timeoutUs);
}

TErrorKind Win32SerialApi::ErrorKindOf(std::uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return TErrorKind::ekNotFound;
    case ERROR_ACCESS_DENIED:  // a COM port another program holds
    case ERROR_SHARING_VIOLATION:
      return TErrorKind::ekBusy;
    case ERROR_DEVICE_NOT_CONNECTED:
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
