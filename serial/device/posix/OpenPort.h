// One open serial line: the back end's calls on it, each under the line's
// one lock, over three parts with a job each: the request table (the
// overlapped requests, RequestTable.h), the line events (LineEvents.h) and
// the I/O side with its thread, the line's only reader (IoLoop.h).
#pragma once

#include <cstdint>
#include <mutex>

#include "framework/posix/UniqueFd.h"
#include "serial/device/SerialApi.h"
#include "serial/device/posix/IoLoop.h"
#include "serial/device/posix/LineEvents.h"
#include "serial/device/posix/RequestTable.h"

namespace serial::posix {

using framework::UniqueFd;

class OpenPort {
 public:
  static constexpr std::uint32_t kCeIoError = LineEvents::kCeIoError;

  OpenPort(UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb);
  ~OpenPort();
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;

  // Starts the I/O thread on a line the caller has taken exclusively.
  // Throws std::system_error when no thread can be made.
  void Open();

  // Ends every outstanding request with kErrorOperationAborted, stops the I/O
  // thread and releases the device. Later calls fail with EBADF.
  void Shutdown();

  bool GetState(TDCB& dcb);
  bool SetState(const TDCB& d);
  bool Setup(std::uint32_t inQueue);
  bool SetTimeouts(const TCommTimeouts& timeouts);
  bool SetMask(std::uint32_t mask);
  bool WaitEvent(std::uint32_t* mask, TOverlapped* ov);
  bool Read(void* buffer, std::uint32_t count, std::uint32_t* read, TOverlapped* ov);
  bool Write(const void* buffer, std::uint32_t count, std::uint32_t* written, TOverlapped* ov);
  bool Result(TOverlapped* ov, std::uint32_t* transferred, bool wait);
  bool Cancel(TOverlapped* ov);
  bool ClearError(std::uint32_t* errors, TComStat* stat);
  bool Purge(std::uint32_t flags);
  bool Escape(std::uint32_t function);

  // The driver's answer to the low-latency request made at open: 0 (on)
  // or the errno of its refusal. Set once, before the port is handed out.
  void NoteLowLatency(int error) { low_latency_error_ = error; }
  int LowLatencyError() const { return low_latency_error_; }

  // Until count bytes are queued, the time is up or the port is closed.
  bool WaitReceived(std::uint32_t count, std::int64_t timeoutUs);

 private:
  std::mutex m_;
  bool closed_ = false;
  bool hang_up_seen_empty_ = false;  // a status read found the hung-up line empty
  int low_latency_error_ = 0;
  TDCB dcb_;
  TCommTimeouts timeouts_{};
  RequestTable requests_;
  LineEvents events_{requests_};
  IoLoop loop_;  // last: its thread runs on everything above
};

}  // namespace serial::posix
