// The I/O side of one open line and its thread, the line's only reader.
//
// The thread sleeps in poll() on the device and a wake-up pipe. It takes
// what the device receives into the receive ring (so "bytes waiting" is a
// count the back end knows exactly), and stops taking at the ring's hold
// level, leaving the bytes to the driver and its flow control; it hands on
// writes the device could not take at once, looks at the modem lines and the
// driver's transmit queue while events ask for them, and notices a hang-up.
// A caller waiting for bytes sleeps on the thread's arrival notice.
//
// Everything here is guarded by the owner's lock, given at construction;
// the thread holds it except while it polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "framework/posix/UniqueFd.h"
#include "serial/device/SerialApi.h"
#include "serial/device/posix/LineEvents.h"
#include "serial/device/posix/ReceiveRing.h"
#include "serial/device/posix/RequestTable.h"

namespace serial::posix {

using framework::UniqueFd;

class IoLoop {
 public:
  // dcb is the line's settings as its owner keeps them (read for the hold
  // levels, the event character and the rate); wake is a non-blocking pipe.
  IoLoop(std::mutex& m, UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb,
         RequestTable& requests, LineEvents& events);
  ~IoLoop();
  IoLoop(const IoLoop&) = delete;
  IoLoop& operator=(const IoLoop&) = delete;

  // Without the lock. Throws std::system_error when no thread can be made.
  void Start();
  // Under the lock: the thread ends its pass, and waiters for bytes wake.
  void Stop();
  // Without the lock, after Stop.
  void Join();
  // Under the lock, after Join: the descriptors are closed.
  void Release();

  int Fd() const { return fd_.Get(); }
  bool HungUp() const { return hung_up_; }

  std::size_t Queued() const { return queue_.Size(); }
  // Throws std::bad_alloc.
  void SetQueueLimit(std::size_t limit);
  std::size_t Take(std::uint8_t* out, std::size_t n);
  void ClearQueue();
  // Holds or resumes taking bytes after the queue or the settings changed.
  void UpdateReceiveHold();

  // Starts the write of a record the owner has checked: 0 when it ended at
  // once (written set), kErrorIoPending when the thread finishes it, else
  // the error.
  std::uint32_t Write(TOverlapped* ov, const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t* written);

  // After a new event mask: changes of the modem lines count from now.
  void MaskChanged();

  // Until count bytes are queued, deadline passes, the line hangs up or the
  // thread stops; lock is let go meanwhile.
  void WaitReceived(std::unique_lock<std::mutex>& lock, std::size_t count,
                    std::chrono::steady_clock::time_point deadline);

  // Wakes the thread from its poll; with or without the lock.
  void Wake();

 private:
  static constexpr int kModemLinePollMs = 10;

  bool WatchesModemLines() const;
  void CheckModemLines();
  void DrainWake();
  // Whether XON/XOFF or RTS input flow control is on.
  bool InputFlowControl() const;
  // The queue size at which the thread stops taking bytes from the line.
  std::size_t HoldLevel() const;
  // How many bytes the thread may take from the line now.
  std::size_t ReceiveRoom() const;
  void OweTxEmpty();
  // Raises an owed EV_TXEMPTY once the driver has drained; otherwise how
  // many ms to wait before looking again (-1: nothing owed).
  int CheckTxEmpty();
  // The device is gone (unplugged, or the other side closed). Its
  // descriptor is no longer polled; what is queued can still be read.
  void HangUp();
  // Events for what the driver's error counters added since the last look.
  std::uint32_t LineErrors();
  void Accept(const std::uint8_t* data, std::size_t n);
  void ReceiveFromDevice(short revents);
  void SendPending();
  void Run();

  std::mutex& m_;
  std::condition_variable arrival_;  // bytes were queued, the line hung up, or the thread stops
  UniqueFd fd_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  const TDCB& dcb_;
  RequestTable& requests_;
  LineEvents& events_;
  ReceiveRing queue_;
  bool stopping_ = false;
  bool hung_up_ = false;
  bool rx_arrived_ = false;  // bytes were queued since the waiters were last woken
  bool rx_held_ = false;     // the queue takes no bytes from the line
  bool have_modem_lines_ = false;
  bool have_counts_ = false;
  std::uint8_t rx_buffer_[4096];
  std::thread thread_;  // last: it runs on everything above
};

}  // namespace serial::posix
