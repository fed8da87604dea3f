#include "serial/device/posix/OpenPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "serial/device/posix/LastError.h"
#include "serial/device/posix/TermiosSettings.h"

namespace serial::posix {
namespace {

// The receive queue never grows past this, whatever SetupComm asks for.
constexpr std::uint32_t kMaxQueue = 64u << 20;
constexpr std::uint32_t kDefaultQueue = 4096;

}  // namespace

OpenPort::OpenPort(UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb)
    : fd_(std::move(fd)),
      wake_read_(std::move(wakeRead)),
      wake_write_(std::move(wakeWrite)),
      dcb_(dcb) {
  queue_.SetLimit(kDefaultQueue);
#if defined(__linux__) && defined(TIOCGICOUNT)
  have_icount_ = ::ioctl(fd_.Get(), TIOCGICOUNT, &icount_) == 0;
#endif
  // A pseudo-terminal has no modem lines; a real port does.
  have_modem_lines_ = ::ioctl(fd_.Get(), TIOCMGET, &modem_lines_) == 0;
}

OpenPort::~OpenPort() {
  Shutdown();
}

void OpenPort::Open() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  watch_wake_read_ = UniqueFd(fds[0]);
  watch_wake_write_ = UniqueFd(fds[1]);
  thread_ = std::thread([this] { Run(); });
}

void OpenPort::Shutdown() {
  {
    std::lock_guard lock(m_);
    if (closed_) return;
    closed_ = true;
    stopping_ = true;
    AbortAll(kErrorOperationAborted);
    cv_.notify_all();
    rx_cv_.notify_all();
    WakeLineWatcher();
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  std::unique_lock lock(m_);
  // A waiter watching the line leaves it before the descriptors go.
  cv_.wait(lock, [this] { return !line_watcher_.load(); });
  // Another process may keep the line open: leave it openable for the
  // next user, with the settings it had. After a hang-up these fail, and
  // there is nothing to undo.
  RestoreLineSettings(fd_.Get());
  ::ioctl(fd_.Get(), TIOCNXCL);
  ::flock(fd_.Get(), LOCK_UN);
  fd_.Reset();
  wake_read_.Reset();
  wake_write_.Reset();
  watch_wake_read_.Reset();
  watch_wake_write_.Reset();
}

bool OpenPort::GetState(TDCB& dcb) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  dcb = dcb_;
  return true;
}

bool OpenPort::SetState(const TDCB& d) {
  if (const int e = CheckDcb(d); e != 0) return Fail(e);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (const int e = ApplyDcb(fd_.Get(), d); e != 0) return Fail(e);
  dcb_ = d;
  dcb_.DCBlength = sizeof(TDCB);
  UpdateReceiveHold();
  return true;
}

bool OpenPort::Setup(std::uint32_t inQueue) {
  if (inQueue > kMaxQueue) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (inQueue != 0) queue_.SetLimit(inQueue);  // may throw std::bad_alloc
  UpdateReceiveHold();
  return true;
}

bool OpenPort::SetTimeouts(const TCommTimeouts& timeouts) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  timeouts_ = timeouts;
  return true;
}

bool OpenPort::SetMask(std::uint32_t mask) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  mask_ = mask;
  pending_ = 0;
  if (wait_ov_ != nullptr) CompleteWait(0, 0);
  if (WatchesModemLines()) {
    // Changes count from now; the I/O thread starts looking at the lines.
    ::ioctl(fd_.Get(), TIOCMGET, &modem_lines_);
    Wake();
  }
  return true;
}

bool OpenPort::WaitEvent(std::uint32_t* mask, TOverlapped* ov) {
  if (mask == nullptr || ov == nullptr) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (wait_ov_ != nullptr || IsOutstanding(ov) || mask_ == 0) return Fail(EINVAL);
  if (pending_ != 0) {
    *mask = std::exchange(pending_, 0);
    Begin(ov);
    Complete(ov, 0, 0);
    return true;
  }
  if (hung_up_) return Fail(EIO);
  Begin(ov);
  wait_ov_ = ov;
  wait_mask_ = mask;
  return Fail(kErrorIoPending);
}

bool OpenPort::Read(void* buffer, std::uint32_t count, std::uint32_t* read, TOverlapped* ov) {
  if (buffer == nullptr && count != 0) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (ov != nullptr && IsOutstanding(ov)) return Fail(EINVAL);
  if (queue_.Size() == 0 && hung_up_) return Fail(EIO);
  const auto n = static_cast<std::uint32_t>(queue_.Pop(static_cast<std::uint8_t*>(buffer), count));
  UpdateReceiveHold();
  if (read != nullptr) *read = n;
  if (ov != nullptr) {
    Begin(ov);
    Complete(ov, n, 0);
  }
  return true;
}

bool OpenPort::Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                     TOverlapped* ov) {
  if (ov == nullptr || (buffer == nullptr && count != 0)) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (IsOutstanding(ov)) return Fail(EINVAL);
  if (hung_up_) return Fail(EIO);
  if (written != nullptr) *written = 0;
  const auto* data = static_cast<const std::uint8_t*>(buffer);
  if (count == 0) {
    Begin(ov);
    Complete(ov, 0, 0);
    return true;
  }
  std::uint32_t done = 0;
  if (writes_.empty()) {
    ssize_t n = 0;
    do {
      n = ::write(fd_.Get(), data, count);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(count)) {
      if (written != nullptr) *written = count;
      Begin(ov);
      Complete(ov, count, 0);
      OweTxEmpty();
      return true;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int e = errno;
      if (IsHangUpError(e)) HangUp();
      return Fail(e);
    }
    // What the line took at once is part of the request, which ends when
    // the rest has followed: a write never completes short.
    done = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
  writes_.push_back(WriteRequest{ov, data, count, done});  // may throw std::bad_alloc
  Begin(ov);
  Wake();
  return Fail(kErrorIoPending);
}

bool OpenPort::Result(TOverlapped* ov, std::uint32_t* transferred, bool wait) {
  if (ov == nullptr) return Fail(EINVAL);
  if (wait) {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return ov->LoadStatus() != kStatusPending || !IsOutstanding(ov); });
  }
  const std::uintptr_t status = ov->LoadStatus();
  if (status == kStatusPending) return Fail(kErrorIoIncomplete);
  if (transferred != nullptr) *transferred = static_cast<std::uint32_t>(ov->LoadTransferred());
  if (status != 0) return Fail(static_cast<std::uint32_t>(status));
  return true;
}

bool OpenPort::Cancel(TOverlapped* ov) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (ov == nullptr) {
    AbortAll(kErrorOperationAborted);
    return true;
  }
  if (wait_ov_ == ov) CompleteWait(0, kErrorOperationAborted);
  for (auto it = writes_.begin(); it != writes_.end(); ++it) {
    if (it->ov == ov) {
      const WriteRequest w = *it;
      writes_.erase(it);
      Complete(w.ov, w.done, kErrorOperationAborted);
      break;
    }
  }
  return true;
}

bool OpenPort::ClearError(std::uint32_t* errors, TComStat* stat) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  // Like a removed adapter: once nothing is left to read, asking fails, so
  // a caller polling for bytes learns at once that none will come. The
  // first look at the empty line still answers (a line event dispatched
  // just before the hang-up reads the status once more).
  if (hung_up_ && queue_.Size() == 0) {
    if (hang_up_seen_empty_) return Fail(EIO);
    hang_up_seen_empty_ = true;
  }
  if (errors != nullptr) *errors = std::exchange(errors_, 0);
  if (stat != nullptr) {
    std::uint64_t out = 0;
    for (const WriteRequest& w : writes_) out += w.count - w.done;
    int driverQueue = 0;
    if (!hung_up_ && ::ioctl(fd_.Get(), TIOCOUTQ, &driverQueue) == 0 && driverQueue > 0)
      out += static_cast<std::uint64_t>(driverQueue);
    stat->Flags = 0;
    stat->cbInQue = static_cast<std::uint32_t>(queue_.Size());
    stat->cbOutQue = static_cast<std::uint32_t>(std::min<std::uint64_t>(out, UINT32_MAX));
  }
  return true;
}

bool OpenPort::Purge(std::uint32_t flags) {
  if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (flags & kPurgeTxAbort) AbortWrites(kErrorOperationAborted);
  // kPurgeRxAbort: reads complete at once, none is ever outstanding.
  if ((flags & kPurgeTxClear) && !hung_up_ && ::tcflush(fd_.Get(), TCOFLUSH) != 0)
    return Fail(errno);
  if (flags & kPurgeRxClear) {
    queue_.Clear();
    UpdateReceiveHold();
    if (!hung_up_ && ::tcflush(fd_.Get(), TCIFLUSH) != 0) return Fail(errno);
  }
  return true;
}

bool OpenPort::Escape(std::uint32_t function) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (function == kResetDev) return true;  // a terminal has no reset to give
  if (function < kSetXoff || function > kClrBreak) return Fail(EINVAL);
  if (hung_up_) return Fail(EIO);
  const int fd = fd_.Get();
  int e = 0;
  switch (function) {
    case kSetXoff:
      e = ::tcflow(fd, TCOOFF) == 0 ? 0 : errno;
      break;
    case kSetXon:
      e = ::tcflow(fd, TCOON) == 0 ? 0 : errno;
      break;
    case kSetRts:
      e = SetModemLine(fd, TIOCM_RTS, true);
      break;
    case kClrRts:
      e = SetModemLine(fd, TIOCM_RTS, false);
      break;
    case kSetDtr:
      e = SetModemLine(fd, TIOCM_DTR, true);
      break;
    case kClrDtr:
      e = SetModemLine(fd, TIOCM_DTR, false);
      break;
    case kSetBreak:
    case kClrBreak:
      if (::ioctl(fd, function == kSetBreak ? TIOCSBRK : TIOCCBRK) != 0)
        e = (errno == ENOTTY || errno == EINVAL) ? 0 : errno;
      break;
    default:
      break;
  }
  return e == 0 ? true : Fail(e);
}

void OpenPort::Begin(TOverlapped* ov) {
  if (ov->hEvent != kNoEvent) platform_event::Reset(ov->hEvent);
  ov->StoreTransferred(0);
  ov->StoreStatus(kStatusPending);
}

void OpenPort::Complete(TOverlapped* ov, std::uintptr_t transferred, std::uint32_t status) {
  ov->StoreTransferred(transferred);
  ov->StoreStatus(status);
  if (ov->hEvent != kNoEvent) platform_event::Signal(ov->hEvent);
  cv_.notify_all();
}

void OpenPort::CompleteWait(std::uint32_t events, std::uint32_t status) {
  TOverlapped* ov = std::exchange(wait_ov_, nullptr);
  *std::exchange(wait_mask_, nullptr) = events;
  Complete(ov, 0, status);
}

bool OpenPort::IsOutstanding(const TOverlapped* ov) const {
  if (wait_ov_ == ov) return true;
  return std::any_of(writes_.begin(), writes_.end(),
                     [ov](const WriteRequest& w) { return w.ov == ov; });
}

void OpenPort::AbortWrites(std::uint32_t status) {
  while (!writes_.empty()) {
    const WriteRequest w = writes_.front();
    writes_.pop_front();
    Complete(w.ov, w.done, status);
  }
}

void OpenPort::AbortAll(std::uint32_t status) {
  AbortWrites(status);
  if (wait_ov_ != nullptr) CompleteWait(0, status);
}

bool OpenPort::WatchesModemLines() const {
  return have_modem_lines_ && !hung_up_ && (mask_ & kModemEvents) != 0;
}

void OpenPort::CheckModemLines() {
  int now = 0;
  if (::ioctl(fd_.Get(), TIOCMGET, &now) != 0) return;
  const int changed = now ^ modem_lines_;
  std::uint32_t events = 0;
  if (changed & TIOCM_CTS) events |= kEvCts;
  if (changed & TIOCM_DSR) events |= kEvDsr;
  if (changed & TIOCM_CD) events |= kEvRlsd;
  if ((changed & TIOCM_RNG) && (now & TIOCM_RNG)) events |= kEvRing;
  modem_lines_ = now;
  if (events != 0) RaiseEvents(events);
}

void OpenPort::RaiseEvents(std::uint32_t events) {
  pending_ |= events & mask_;
  if (wait_ov_ != nullptr && pending_ != 0) CompleteWait(std::exchange(pending_, 0), 0);
}

void OpenPort::Wake() {
  const char byte = 1;
  // A full pipe already wakes the thread.
  [[maybe_unused]] const ssize_t r = ::write(wake_write_.Get(), &byte, 1);
}

void OpenPort::DrainWake() {
  char buf[64];
  while (::read(wake_read_.Get(), buf, sizeof buf) > 0) {
  }
}

void OpenPort::OweTxEmpty() {
  if (!(mask_ & kEvTxEmpty)) return;
  tx_empty_owed_ = true;
  if (CheckTxEmpty() >= 0) Wake();  // the I/O thread looks again later
}

int OpenPort::CheckTxEmpty() {
  if (!tx_empty_owed_ || !writes_.empty()) return -1;
  int queued = 0;
  // A driver that cannot tell (and a pseudo-terminal, which always says 0)
  // counts as drained.
  if (hung_up_ || ::ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0 || queued <= 0) {
    tx_empty_owed_ = false;
    if (!hung_up_) RaiseEvents(kEvTxEmpty);
    return -1;
  }
  // About the time the queued bytes take on the line (10 bits each), within
  // bounds, so neither a slow line nor a fast one makes this spin.
  const std::uint64_t rate = dcb_.BaudRate != 0 ? dcb_.BaudRate : 9600;
  const std::uint64_t ms = static_cast<std::uint64_t>(queued) * 10 * 1000 / rate + 1;
  return static_cast<int>(std::clamp<std::uint64_t>(ms, 1, kTxDrainPollMaxMs));
}

void OpenPort::HangUp() {
  if (hung_up_) return;
  hung_up_ = true;
  errors_ |= kCeIoError;
  // Nothing more will come: a waiter for bytes looks at once.
  rx_cv_.notify_all();
  WakeLineWatcher();
  tx_empty_owed_ = false;
  rx_held_ = false;
  AbortWrites(EIO);
  if (wait_ov_ != nullptr) CompleteWait(0, EIO);
}

void OpenPort::SendPending() {
  bool completed = false;
  while (!writes_.empty()) {
    WriteRequest& w = writes_.front();
    const ssize_t n = ::write(fd_.Get(), w.data + w.done, w.count - w.done);
    if (n > 0) {
      w.done += static_cast<std::uint32_t>(n);
      if (w.done == w.count) {
        const WriteRequest done = w;
        writes_.pop_front();
        Complete(done.ov, done.done, 0);
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
    const WriteRequest failed = w;
    writes_.pop_front();
    Complete(failed.ov, failed.done, static_cast<std::uint32_t>(e));
  }
  if (completed) OweTxEmpty();
}

void OpenPort::Run() {
  std::unique_lock lock(m_);
  while (!stopping_) {
    pollfd fds[2] = {{wake_read_.Get(), POLLIN, 0}, {fd_.Get(), 0, 0}};
    nfds_t count = 1;
    // While a waiter watches the line, arrivals are its own (see WatchLine);
    // this thread looks for them again within kWatchedPauseMs.
    const bool watched = line_watcher_.load();
    if (!hung_up_) {
      const bool receive = !rx_held_ && !watched;
      fds[1].events = static_cast<short>((receive ? POLLIN : 0) | (writes_.empty() ? 0 : POLLOUT));
      count = 2;
    }
    // The modem lines and the driver's transmit queue have no descriptor to
    // wait on: while someone asks for them, they are looked at again after
    // a bounded pause.
    int timeout = WatchesModemLines() ? kModemLinePollMs : -1;
    if (const int drain = CheckTxEmpty(); drain >= 0)
      timeout = timeout < 0 ? drain : std::min(timeout, drain);
    if (watched) timeout = timeout < 0 ? kWatchedPauseMs : std::min(timeout, kWatchedPauseMs);
    // Woken here, after the lock is let go, a waiter for bytes runs at once
    // instead of waking only to wait for the lock.
    const bool arrived = std::exchange(rx_arrived_, false);
    lock.unlock();
    if (arrived) rx_cv_.notify_all();
    int r = ::poll(fds, count, timeout);
    // Bytes came while a waiter watches the line: they are its own, so this
    // thread leaves the lock to it and polls on without them for a while.
    while (r > 0 && count == 2 && fds[0].revents == 0 && fds[1].revents == POLLIN &&
           line_watcher_.load()) {
      fds[1].events = static_cast<short>(fds[1].events & ~POLLIN);
      r = ::poll(fds, count, timeout < 0 ? kWatchedPauseMs : std::min(timeout, kWatchedPauseMs));
    }
    const int pollError = errno;
    lock.lock();
    if (stopping_) break;
    if (r < 0) {
      if (pollError == EINTR) continue;
      // Polling itself failed: the device can no longer be served. Wait
      // for the close without touching it.
      HangUp();
      cv_.wait(lock, [this] { return stopping_; });
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
