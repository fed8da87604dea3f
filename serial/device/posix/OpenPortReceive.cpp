// The receive side of an open line: taking bytes from the device into the
// port's queue (held back while the queue is full), the line errors the
// driver counted, and the wait for a number of bytes, in which the waiter
// watches the line itself.
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "serial/device/posix/LastError.h"
#include "serial/device/posix/OpenPort.h"

namespace serial::posix {

bool OpenPort::InputFlowControl() const {
  return (dcb_.Flags & kDcbInX) || ((dcb_.Flags & kDcbRtsControlMask) >> 12) == 2;
}

std::size_t OpenPort::HoldLevel() const {
  const std::size_t limit = queue_.Limit();
  // With input flow control the queue stops taking bytes XoffLim short of
  // full; the driver's buffer then fills and the driver holds the sender.
  if (InputFlowControl() && dcb_.XoffLim > 0 && dcb_.XoffLim < limit) return limit - dcb_.XoffLim;
  return limit;
}

std::size_t OpenPort::ReceiveRoom() const {
  const std::size_t hold = HoldLevel();
  return rx_held_ || queue_.Size() >= hold ? 0 : hold - queue_.Size();
}

void OpenPort::UpdateReceiveHold() {
  const std::size_t hold = HoldLevel();
  const std::size_t size = queue_.Size();
  if (!rx_held_) {
    rx_held_ = !hung_up_ && size >= hold;
    return;
  }
  // With input flow control, taking resumes only once no more than XonLim
  // bytes are queued; without, as soon as there is room.
  const std::size_t resume =
      InputFlowControl() ? std::min<std::size_t>(dcb_.XonLim, hold - 1) : hold - 1;
  if (size <= resume || hung_up_) {
    rx_held_ = false;
    Wake();
  }
}

std::uint32_t OpenPort::LineErrors() {
#if defined(__linux__) && defined(TIOCGICOUNT)
  if (!have_icount_) return 0;
  serial_icounter_struct now{};
  if (::ioctl(fd_.Get(), TIOCGICOUNT, &now) != 0) return 0;
  std::uint32_t events = 0;
  auto count = [&](int before, int after, std::uint32_t error, std::uint32_t event) {
    if (before == after) return;
    errors_ |= error;
    events |= event;
  };
  count(icount_.frame, now.frame, kCeFrame, kEvErr);
  count(icount_.parity, now.parity, kCeRxParity, kEvErr);
  count(icount_.overrun, now.overrun, kCeOverrun, kEvErr);
  count(icount_.buf_overrun, now.buf_overrun, kCeRxOver, kEvErr);
  count(icount_.brk, now.brk, kCeBreak, kEvBreak);
  icount_ = now;
  return events;
#else
  return 0;
#endif
}

void OpenPort::Accept(const std::uint8_t* data, std::size_t n) {
  const bool below80 = queue_.Size() * 5 < queue_.Limit() * 4;
  queue_.Push(data, n);  // the read took no more than the room
  UpdateReceiveHold();
  rx_arrived_ = true;  // the waiter is woken once the lock is free
  WakeLineWatcher();   // it polls a line that this read emptied
  std::uint32_t events = kEvRxChar | LineErrors();
  if (std::memchr(data, static_cast<unsigned char>(dcb_.EvtChar), n) != nullptr)
    events |= kEvRxFlag;
  if (below80 && queue_.Size() * 5 >= queue_.Limit() * 4) events |= kEvRx80Full;
  RaiseEvents(events);
}

void OpenPort::ReceiveFromDevice(short revents) {
  // Bounded, so a device that never pauses cannot hold m_ for long.
  for (int round = 0; round < 16; ++round) {
    const std::size_t room = std::min(ReceiveRoom(), sizeof rx_buffer_);
    if (room == 0) {
      // Bytes stay with the driver, whose buffer and flow control hold the
      // sender back; only a hang-up is taken now.
      if (revents & (POLLHUP | POLLERR | POLLNVAL)) HangUp();
      return;
    }
    const ssize_t n = ::read(fd_.Get(), rx_buffer_, room);
    if (n > 0) {
      Accept(rx_buffer_, static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < room) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (revents & (POLLHUP | POLLERR | POLLNVAL)) HangUp();
      return;
    }
    HangUp();  // end of file or a read error: the line is gone
    return;
  }
}

bool OpenPort::WaitReceived(std::uint32_t count, std::int64_t timeoutUs) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_);
  if (closed_) return Fail(EBADF);
  if (timeoutUs <= 0) return true;
  const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
  // A hung-up line brings nothing more: the waiter looks again at once.
  while (!closed_ && !hung_up_ && queue_.Size() < count) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    // One waiter at a time watches the line, while the queue takes bytes;
    // any other is woken as bytes are queued or the watcher leaves.
    if (line_watcher_.load() || ReceiveRoom() == 0) {
      rx_cv_.wait_until(lock, deadline);
      continue;
    }
    WatchLine(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now));
  }
  return true;
}

void OpenPort::WatchLine(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds limit) {
  // Taking the bytes on the waiting thread saves a hand-over: otherwise the
  // I/O thread wakes first and then wakes the waiter. The I/O thread leaves
  // arrivals to the watcher meanwhile (see Run); when it took them anyway,
  // it wakes the watcher, whose poll would not end on a line emptied again.
  line_watcher_.store(true);
  pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {watch_wake_read_.Get(), POLLIN, 0}};
  lock.unlock();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(limit.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(limit.count() % 1'000'000'000);
  const int r = ::ppoll(fds, 2, &ts, nullptr);
  lock.lock();
  line_watcher_.store(false);
  if (r > 0 && fds[1].revents != 0) {
    char buf[64];
    while (::read(watch_wake_read_.Get(), buf, sizeof buf) > 0) {
    }
  }
  if (closed_) {
    cv_.notify_all();  // the close waits for the watcher to leave the line
    return;
  }
  if (r > 0 && !hung_up_ && (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
    ReceiveFromDevice(fds[0].revents);
  // Other waiters hear of what was queued, and one of them may watch now.
  rx_arrived_ = false;
  rx_cv_.notify_all();
}

void OpenPort::WakeLineWatcher() {
  if (!line_watcher_.load()) return;
  const char byte = 1;
  // A full pipe already wakes the watcher.
  [[maybe_unused]] const ssize_t r = ::write(watch_wake_write_.Get(), &byte, 1);
}

}  // namespace serial::posix
