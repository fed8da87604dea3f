// The serial device interface on Windows: every operation is the kernel32
// call of its name, with the device control block, the timeouts, the status
// record, the version record and the overlapped record passed as the
// platform's own records (the interface's types are laid out like them).
//
// Where the back end does more than pass the call on:
// - ReadFile asks ClearCommError how many bytes are queued and reads at most
//   that many, so a read of an empty queue completes at once with 0 bytes.
//   (Windows does that with the port's timeouts already; Wine on a
//   pseudo-terminal leaves such a read pending.) The error flags that query
//   clears are kept for the handle and reported by the next ClearCommError.
// - CancelIoEx returns once the request has ended, as the interface promises;
//   the platform's call only asks for the cancellation.
// - ErrorText is the system's message (FormatMessage) without the line break
//   it ends in.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "serial/device/SerialApi.h"

namespace serial {

class Win32SerialApi : public SerialApi {
 public:
  THandle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                      std::uint32_t creation, std::uint32_t flags) override;
  bool CloseHandle(THandle h) override;
  bool GetCommState(THandle h, TDCB& dcb) override;
  bool SetCommState(THandle h, const TDCB& dcb) override;
  bool SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) override;
  bool SetCommMask(THandle h, std::uint32_t mask) override;
  bool WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) override;
  bool ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                TOverlapped* ov) override;
  bool WriteFile(THandle h, const void* buffer, std::uint32_t count, std::uint32_t* written,
                 TOverlapped* ov) override;
  bool GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                           bool wait) override;
  // ov == nullptr cancels every request of the handle without waiting.
  bool CancelIoEx(THandle h, TOverlapped* ov) override;
  bool ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) override;
  bool PurgeComm(THandle h, std::uint32_t flags) override;
  bool EscapeCommFunction(THandle h, std::uint32_t function) override;

  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;
  TErrorKind ErrorKindOf(std::uint32_t code) override;
  // The reply wait's pause between looks at the queue, kept near 1 ms.
  bool WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) override;
  bool GetVersionExA(TOSVersionInfo& info) override;

 private:
  // Asks the driver to end the pending request of ov; false if it refused.
  bool AskToEnd(THandle h, TOverlapped* ov);
  // Error flags a read's queue query cleared, per handle, until reported.
  std::uint32_t TakeKeptErrors(THandle h);
  void KeepErrors(THandle h, std::uint32_t errors);

  std::mutex kept_mutex_;
  std::map<THandle, std::uint32_t> kept_errors_;
};

}  // namespace serial
