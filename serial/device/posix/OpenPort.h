// One open serial line and its I/O thread.
//
// The thread sleeps in poll() on the device and a wake-up pipe. It drains
// what the device receives into the port's own receive queue (so "bytes
// waiting" is a count the back end knows exactly), raises the communication
// events, and finishes writes the device could not take at once. While a
// caller waits for bytes, that caller takes them from the device itself
// (see WatchLine). Requests end the way the platform's overlapped requests
// do: status and count stored with release semantics, then the record's
// event signalled. The state below is guarded by m_.
#pragma once

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "framework/posix/UniqueFd.h"
#include "serial/device/SerialApi.h"
#include "serial/device/posix/ReceiveRing.h"

namespace serial::posix {

using framework::UniqueFd;

class OpenPort {
 public:
  // The platform's CE_IOE flag: the device reported an I/O failure (here: it
  // hung up).
  static constexpr std::uint32_t kCeIoError = 0x0400;

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

  // Like the platform: a new mask forgets the events seen so far and ends an
  // outstanding wait with no events.
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
  struct WriteRequest {
    TOverlapped* ov;
    const std::uint8_t* data;
    std::uint32_t count;
    std::uint32_t done;
  };

  // A request starts: its event is reset and it is marked outstanding.
  static void Begin(TOverlapped* ov);

  // A request ends. Called under m_, so a caller that cancels or closes
  // knows the record is no longer touched once it holds m_ again.
  void Complete(TOverlapped* ov, std::uintptr_t transferred, std::uint32_t status);

  void CompleteWait(std::uint32_t events, std::uint32_t status);
  bool IsOutstanding(const TOverlapped* ov) const;
  void AbortWrites(std::uint32_t status);
  void AbortAll(std::uint32_t status);

  static constexpr std::uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
  static constexpr int kModemLinePollMs = 10;
  // How long the I/O thread leaves arrivals to a line watcher before it
  // looks at the line again itself: bytes that come just after a wait are
  // taken that much later, and a long wait costs this thread a wake-up per
  // pause (at 5 ms a paced upload took twice the CPU time it takes at 20).
  static constexpr int kWatchedPauseMs = 20;

  bool WatchesModemLines() const;

  // Raises CTS, DSR and carrier changes, and the start of a ring.
  void CheckModemLines();

  // Events outside the mask are not recorded, as on the platform.
  void RaiseEvents(std::uint32_t events);

  void Wake();
  void DrainWake();

  // Whether XON/XOFF or RTS input flow control is on.
  bool InputFlowControl() const;
  // The queue size at which the I/O thread stops taking bytes from the line.
  std::size_t HoldLevel() const;
  // How many bytes the I/O thread may take from the line now.
  std::size_t ReceiveRoom() const;
  // Holds or resumes taking bytes after the queue or the settings changed.
  void UpdateReceiveHold();

  // EV_TXEMPTY is owed once the last write has been handed to the driver,
  // and raised when the driver's transmit queue is empty.
  void OweTxEmpty();
  // Raises an owed EV_TXEMPTY if the driver has drained; otherwise returns
  // how many ms to wait before looking again (-1: nothing owed).
  int CheckTxEmpty();
  static constexpr std::uint64_t kTxDrainPollMaxMs = 50;

  // The device is gone (unplugged, or the other side closed). Its descriptor
  // is no longer polled; what is queued can still be read.
  void HangUp();

  // Line errors counted by the driver since the last look.
  std::uint32_t LineErrors();

  void Accept(const std::uint8_t* data, std::size_t n);

  // The waiter for bytes polls the line itself for up to limit, with m_ let
  // go meanwhile, and takes what arrives.
  void WatchLine(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds limit);
  void WakeLineWatcher();

  void ReceiveFromDevice(short revents);
  void SendPending();
  void Run();

  std::mutex m_;
  std::condition_variable cv_;     // a request ended
  std::condition_variable rx_cv_;  // bytes were queued, or the port closed
  UniqueFd fd_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  UniqueFd watch_wake_read_;  // wakes the line watcher; made by Open
  UniqueFd watch_wake_write_;
  bool closed_ = false;
  bool stopping_ = false;
  bool hung_up_ = false;
  bool hang_up_seen_empty_ = false;  // a status read found the hung-up line empty
  bool rx_arrived_ = false;          // bytes were queued since the waiters were last woken
  bool rx_held_ = false;             // the queue takes no bytes from the line
  // A waiter for bytes watches the line (see WatchLine). Changed under m_;
  // the I/O thread also reads it without m_, after its poll.
  std::atomic<bool> line_watcher_{false};
  bool tx_empty_owed_ = false;  // see OweTxEmpty
  TDCB dcb_;
  TCommTimeouts timeouts_{};
  ReceiveRing queue_;
  std::uint32_t mask_ = 0;
  std::uint32_t pending_ = 0;  // events seen and not yet reported
  std::uint32_t errors_ = 0;   // error flags since the last ClearCommError
  TOverlapped* wait_ov_ = nullptr;
  std::uint32_t* wait_mask_ = nullptr;
  std::deque<WriteRequest> writes_;
  std::uint8_t rx_buffer_[4096];
  bool have_modem_lines_ = false;
  int low_latency_error_ = 0;
  int modem_lines_ = 0;  // TIOCM_* bits last seen
#if defined(__linux__) && defined(TIOCGICOUNT)
  bool have_icount_ = false;
  serial_icounter_struct icount_{};
#endif
  std::thread thread_;  // last: it runs on everything above
};

}  // namespace serial::posix
