// The I/O side of one open line and its thread (IoLoop.h).
#include "serial/device/posix/IoLoop.h"

#if defined(__linux__)
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "serial/device/posix/LastError.h"

namespace serial::posix {
namespace {

// Reads the driver's error counters; false where it keeps none.
bool ReadCounts(int fd, DriverCounts& counts) {
#if defined(__linux__) && defined(TIOCGICOUNT)
  serial_icounter_struct now{};
  if (::ioctl(fd, TIOCGICOUNT, &now) != 0) return false;
  counts = DriverCounts{now.frame, now.parity, now.overrun, now.buf_overrun, now.brk};
  return true;
#else
  (void)fd;
  (void)counts;
  return false;
#endif
}

}  // namespace

IoLoop::IoLoop(std::mutex& m, UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb,
               RequestTable& requests, LineEvents& events)
    : m_(m),
      fd_(std::move(fd)),
      wake_read_(std::move(wakeRead)),
      wake_write_(std::move(wakeWrite)),
      dcb_(dcb),
      requests_(requests),
      events_(events) {
  DriverCounts counts;
  have_counts_ = ReadCounts(fd_.Get(), counts);
  if (have_counts_) events_.SeeCounts(counts);
  // A pseudo-terminal has no modem lines; a real port does.
  int lines = 0;
  have_modem_lines_ = ::ioctl(fd_.Get(), TIOCMGET, &lines) == 0;
  events_.SeeModemLines(lines);
}

IoLoop::~IoLoop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(m_);
    Stop();
  }
  Join();
}

void IoLoop::Start() {
  thread_ = std::thread([this] { Run(); });
}

void IoLoop::Stop() {
  stopping_ = true;
  arrival_.notify_all();
  Wake();
}

void IoLoop::Join() {
  if (thread_.joinable()) thread_.join();
}

void IoLoop::Release() {
  fd_.Reset();
  wake_read_.Reset();
  wake_write_.Reset();
}

void IoLoop::SetQueueLimit(std::size_t limit) {
  queue_.SetLimit(limit);
  UpdateReceiveHold();
}

std::size_t IoLoop::Take(std::uint8_t* out, std::size_t n) {
  const std::size_t taken = queue_.Pop(out, n);
  UpdateReceiveHold();
  return taken;
}

void IoLoop::ClearQueue() {
  queue_.Clear();
  UpdateReceiveHold();
}

bool IoLoop::InputFlowControl() const {
  return (dcb_.Flags & kDcbInX) || ((dcb_.Flags & kDcbRtsControlMask) >> 12) == 2;
}

std::size_t IoLoop::HoldLevel() const {
  const std::size_t limit = queue_.Limit();
  // With input flow control the queue stops taking bytes XoffLim short of
  // full; the driver's buffer then fills and the driver holds the sender.
  if (InputFlowControl() && dcb_.XoffLim > 0 && dcb_.XoffLim < limit) return limit - dcb_.XoffLim;
  return limit;
}

std::size_t IoLoop::ReceiveRoom() const {
  const std::size_t hold = HoldLevel();
  return rx_held_ || queue_.Size() >= hold ? 0 : hold - queue_.Size();
}

void IoLoop::UpdateReceiveHold() {
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

std::uint32_t IoLoop::Write(TOverlapped* ov, const std::uint8_t* data, std::uint32_t count,
                            std::uint32_t* written) {
  if (hung_up_) return EIO;
  if (written != nullptr) *written = 0;
  if (count == 0) {
    requests_.CompleteAtOnce(ov, 0);
    return 0;
  }
  std::uint32_t done = 0;
  if (!requests_.HasWrites()) {
    ssize_t n = 0;
    do {
      n = ::write(fd_.Get(), data, count);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(count)) {
      if (written != nullptr) *written = count;
      requests_.CompleteAtOnce(ov, count);
      OweTxEmpty();
      return 0;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int e = errno;
      if (IsHangUpError(e)) HangUp();
      return static_cast<std::uint32_t>(e);
    }
    // What the line took at once is part of the request, which ends when
    // the rest has followed: a write never completes short.
    done = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
  requests_.BeginWrite(ov, data, count, done);  // may throw std::bad_alloc
  Wake();
  return kErrorIoPending;
}

void IoLoop::MaskChanged() {
  if (!WatchesModemLines()) return;
  int lines = 0;
  if (::ioctl(fd_.Get(), TIOCMGET, &lines) == 0) events_.SeeModemLines(lines);
  Wake();  // the thread starts looking at the lines
}

void IoLoop::WaitReceived(std::unique_lock<std::mutex>& lock, std::size_t count,
                          std::chrono::steady_clock::time_point deadline) {
  // A hung-up line brings nothing more: the waiter looks again at once.
  arrival_.wait_until(lock, deadline,
                      [&] { return stopping_ || hung_up_ || queue_.Size() >= count; });
}

void IoLoop::Wake() {
  const char byte = 1;
  // A full pipe already wakes the thread.
  [[maybe_unused]] const ssize_t r = ::write(wake_write_.Get(), &byte, 1);
}

void IoLoop::DrainWake() {
  char buf[64];
  while (::read(wake_read_.Get(), buf, sizeof buf) > 0) {
  }
}

bool IoLoop::WatchesModemLines() const {
  return have_modem_lines_ && !hung_up_ && events_.WantsModemLines();
}

void IoLoop::CheckModemLines() {
  int lines = 0;
  if (::ioctl(fd_.Get(), TIOCMGET, &lines) == 0) events_.ModemLines(lines);
}

void IoLoop::OweTxEmpty() {
  events_.OweTxEmpty();
  if (CheckTxEmpty() >= 0) Wake();  // the thread looks again later
}

int IoLoop::CheckTxEmpty() {
  if (!events_.TxEmptyDue()) return -1;
  int queued = 0;
  if (::ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0) queued = -1;
  return events_.TxQueue(queued, dcb_.BaudRate);
}

void IoLoop::HangUp() {
  if (hung_up_) return;
  hung_up_ = true;
  // Nothing more will come: a waiter for bytes looks at once.
  arrival_.notify_all();
  rx_held_ = false;
  requests_.AbortWrites(EIO);
  events_.HangUp();
}

std::uint32_t IoLoop::LineErrors() {
  DriverCounts now;
  if (!have_counts_ || !ReadCounts(fd_.Get(), now)) return 0;
  return events_.Count(now);
}

void IoLoop::Accept(const std::uint8_t* data, std::size_t n) {
  const bool below80 = queue_.Size() * 5 < queue_.Limit() * 4;
  queue_.Push(data, n);  // the read took no more than the room
  UpdateReceiveHold();
  rx_arrived_ = true;  // the waiters are woken once the lock is free
  std::uint32_t events = kEvRxChar | LineErrors();
  if (std::memchr(data, static_cast<unsigned char>(dcb_.EvtChar), n) != nullptr)
    events |= kEvRxFlag;
  if (below80 && queue_.Size() * 5 >= queue_.Limit() * 4) events |= kEvRx80Full;
  events_.Raise(events);
}

void IoLoop::ReceiveFromDevice(short revents) {
  // Bounded, so a device that never pauses cannot hold the lock for long.
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

void IoLoop::SendPending() {
  bool completed = false;
  while (requests_.HasWrites()) {
    RequestTable::Write& w = requests_.FrontWrite();
    const ssize_t n = ::write(fd_.Get(), w.data + w.done, w.count - w.done);
    if (n > 0) {
      w.done += static_cast<std::uint32_t>(n);
      if (w.done == w.count) {
        requests_.EndFrontWrite(0);
        completed = true;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    const int e = n < 0 ? errno : EIO;
    if (IsHangUpError(e)) {
      HangUp();
      return;
    }
    requests_.EndFrontWrite(static_cast<std::uint32_t>(e));
  }
  if (completed) OweTxEmpty();
}

void IoLoop::Run() {
  std::unique_lock lock(m_);
  while (!stopping_) {
    pollfd fds[2] = {{wake_read_.Get(), POLLIN, 0}, {fd_.Get(), 0, 0}};
    nfds_t count = 1;
    if (!hung_up_) {
      fds[1].events =
          static_cast<short>((rx_held_ ? 0 : POLLIN) | (requests_.HasWrites() ? POLLOUT : 0));
      count = 2;
    }
    // The modem lines and the driver's transmit queue have no descriptor to
    // wait on: while someone asks for them, they are looked at again after
    // a bounded pause.
    int timeout = WatchesModemLines() ? kModemLinePollMs : -1;
    if (const int drain = CheckTxEmpty(); drain >= 0)
      timeout = timeout < 0 ? drain : std::min(timeout, drain);
    // Woken here, after the lock is let go, a waiter for bytes runs at once
    // instead of waking only to wait for the lock.
    const bool arrived = std::exchange(rx_arrived_, false);
    lock.unlock();
    if (arrived) arrival_.notify_all();
    const int r = ::poll(fds, count, timeout);
    const int pollError = errno;
    lock.lock();
    if (stopping_) break;
    if (r < 0) {
      if (pollError == EINTR) continue;
      // Polling itself failed: the device can no longer be served. Wait
      // for the stop without touching it.
      HangUp();
      arrival_.wait(lock, [this] { return stopping_; });
      break;
    }
    if (fds[0].revents != 0) DrainWake();
    if (WatchesModemLines()) CheckModemLines();
    if (count == 2) {
      const short re = fds[1].revents;
      if (re & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ReceiveFromDevice(re);
      if (!hung_up_ && (re & POLLOUT)) SendPending();
    }
  }
}

}  // namespace serial::posix
