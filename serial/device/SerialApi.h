// The serial device interface the port component is written against.
//
// Every operation keeps the name, arguments and result of the kernel32
// serial call it stands for, so the port's algorithms read the same on every
// back end: a Boolean success flag, details through GetLastError().
//
// Overlapped requests: a back end resets the record's event when a request
// starts and signals it when the request ends later. A request that ends at
// once (the call returns true) leaves its final status and count in the
// record, and may leave its event unsignalled: the caller looks at the
// status first. While a request is outstanding, its record and data belong
// to the back end.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "serial/device/PlatformEvent.h"

namespace serial {

using THandle = std::intptr_t;
inline constexpr THandle kInvalidHandle = -1;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Error codes the component tells apart. POSIX back ends report errno values
// for everything else; ENOENT is 2 there as well.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;

// CreateFileA arguments the port uses.
inline constexpr std::uint32_t kGenericReadWrite = 0xC0000000u;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000u;

// PurgeComm flags.
inline constexpr std::uint32_t kPurgeTxAbort = 1;
inline constexpr std::uint32_t kPurgeRxAbort = 2;
inline constexpr std::uint32_t kPurgeTxClear = 4;
inline constexpr std::uint32_t kPurgeRxClear = 8;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetXoff = 1;
inline constexpr std::uint32_t kSetXon = 2;
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;
inline constexpr std::uint32_t kResetDev = 7;
inline constexpr std::uint32_t kSetBreak = 8;
inline constexpr std::uint32_t kClrBreak = 9;

// Communication event bits (SetCommMask / WaitCommEvent).
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvRxFlag = 0x0002;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvPErr = 0x0200;
inline constexpr std::uint32_t kEvRx80Full = 0x0400;
inline constexpr std::uint32_t kEvEvent1 = 0x0800;
inline constexpr std::uint32_t kEvEvent2 = 0x1000;

// Communication error flags (ClearCommError).
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;

// Device control block flag bits.
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbParity = 0x0002;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;
inline constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;
inline constexpr std::uint32_t kDcbOutX = 0x0100;
inline constexpr std::uint32_t kDcbInX = 0x0200;
inline constexpr std::uint32_t kDcbErrorChar = 0x0400;
inline constexpr std::uint32_t kDcbNull = 0x0800;
inline constexpr std::uint32_t kDcbRtsControlMask = 0x3000;
inline constexpr std::uint32_t kDcbAbortOnError = 0x4000;

// The device control block, laid out as the platform's 28-byte record.
struct TDCB {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t Flags;
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits;  // 0 one, 1 one and a half, 2 two
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};
static_assert(sizeof(TDCB) == 28);

struct TCommTimeouts {
  std::uint32_t ReadIntervalTimeout;
  std::uint32_t ReadTotalTimeoutMultiplier;
  std::uint32_t ReadTotalTimeoutConstant;
  std::uint32_t WriteTotalTimeoutMultiplier;
  std::uint32_t WriteTotalTimeoutConstant;
};

struct TComStat {
  std::uint32_t Flags;
  std::uint32_t cbInQue;
  std::uint32_t cbOutQue;
};

inline constexpr std::uintptr_t kStatusPending = 0x103;

// The overlapped record. Internal holds the request's status (kStatusPending
// while outstanding, 0 on success, else the error code) and InternalHigh the
// bytes transferred; back ends write them with release semantics before they
// signal hEvent, and readers use the accessors below.
struct TOverlapped {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  std::uint32_t Offset;
  std::uint32_t OffsetHigh;
  EventHandle hEvent;

  std::uintptr_t LoadStatus() const {
    return std::atomic_ref<const std::uintptr_t>(Internal).load(std::memory_order_acquire);
  }
  std::uintptr_t LoadTransferred() const {
    return std::atomic_ref<const std::uintptr_t>(InternalHigh).load(std::memory_order_acquire);
  }
  void StoreStatus(std::uintptr_t v) {
    std::atomic_ref<std::uintptr_t>(Internal).store(v, std::memory_order_release);
  }
  void StoreTransferred(std::uintptr_t v) {
    std::atomic_ref<std::uintptr_t>(InternalHigh).store(v, std::memory_order_release);
  }
};

inline constexpr std::uint32_t kVerPlatformWin32Windows = 1;
inline constexpr std::uint32_t kVerPlatformWin32NT = 2;

struct TOSVersionInfo {
  std::uint32_t dwOSVersionInfoSize;  // 148
  std::uint32_t dwMajorVersion;
  std::uint32_t dwMinorVersion;
  std::uint32_t dwBuildNumber;
  std::uint32_t dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(TOSVersionInfo) == 148);

// What a failed call means to the user, whatever the platform's code: the
// device is not there, another program holds it, the user may not use it, it
// went away while open, or anything else.
enum class TErrorKind { ekNotFound, ekBusy, ekNoPermission, ekHungUp, ekOther };

class SerialApi {
 public:
  virtual ~SerialApi() = default;

  virtual THandle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                              std::uint32_t creation, std::uint32_t flags) = 0;
  virtual bool CloseHandle(THandle h) = 0;
  virtual bool GetCommState(THandle h, TDCB& dcb) = 0;
  virtual bool SetCommState(THandle h, const TDCB& dcb) = 0;
  virtual bool SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) = 0;
  virtual bool SetCommMask(THandle h, std::uint32_t mask) = 0;
  // *mask is written before the request's completion is signalled.
  virtual bool WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) = 0;
  virtual bool ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                        TOverlapped* ov) = 0;
  virtual bool WriteFile(THandle h, const void* buffer, std::uint32_t count, std::uint32_t* written,
                         TOverlapped* ov) = 0;
  virtual bool GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                                   bool wait) = 0;
  // Cancels the request of ov (CancelIoEx). The request ends, its event is
  // signalled and its record and data are released by the back end before
  // this returns true, or it had already ended.
  virtual bool CancelIoEx(THandle h, TOverlapped* ov) = 0;
  virtual bool ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) = 0;
  virtual bool PurgeComm(THandle h, std::uint32_t flags) = 0;
  virtual bool EscapeCommFunction(THandle h, std::uint32_t function) = 0;

  // Waits until at least count bytes wait in the receive queue or timeoutUs
  // has passed, without taking any of them; false, with the last error, only
  // when h is not an open port. A caller reads the count again afterwards.
  // This default is for a back end that is told of no arrivals: it pauses
  // at most a millisecond, so a caller's loop looks again soon without
  // holding a core.
  virtual bool WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) {
    (void)h;
    (void)count;
    if (timeoutUs > 0)
      std::this_thread::sleep_for(
          std::chrono::microseconds(std::min<std::int64_t>(timeoutUs, 1000)));
    return true;
  }

  // Last error of the calling thread, and the system's text for a code.
  virtual std::uint32_t GetLastError() = 0;
  virtual std::string ErrorText(std::uint32_t code) = 0;
  virtual TErrorKind ErrorKindOf(std::uint32_t code) = 0;
  virtual bool GetVersionExA(TOSVersionInfo& info) = 0;
};

// The back end of this platform (POSIX termios or kernel32), one per process.
SerialApi& PlatformSerialApi();

}  // namespace serial
