// One open serial line: the back end's calls on it (OpenPort.h).
#include "serial/device/posix/OpenPort.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include "serial/device/posix/LastError.h"
#include "serial/device/posix/TermiosSettings.h"

namespace serial::posix {
namespace {

// The receive queue never grows past this, whatever SetupComm asks for.
constexpr std::uint32_t kMaxQueue = 64u << 20;
constexpr std::uint32_t kDefaultQueue = 4096;

bool Done(std::uint32_t error) {
  return error == 0 ? true : Fail(error);
}

}  // namespace

OpenPort::OpenPort(UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb)
    : dcb_(dcb),
      loop_(m_, std::move(fd), std::move(wakeRead), std::move(wakeWrite), dcb_, requests_,
            events_) {
  loop_.SetQueueLimit(kDefaultQueue);
}

OpenPort::~OpenPort() {
  Shutdown();
}

void OpenPort::Open() {
  loop_.Start();
}

void OpenPort::Shutdown() {
  {
    std::lock_guard lock(m_);
    if (closed_) return;
    closed_ = true;
    requests_.AbortAll(kErrorOperationAborted);
    loop_.Stop();
  }
  loop_.Join();
  std::lock_guard lock(m_);
  // Another process may keep the line open: leave it openable for the
  // next user, with the settings it had. After a hang-up these fail, and
  // there is nothing to undo.
  RestoreLineSettings(loop_.Fd());
  ::ioctl(loop_.Fd(), TIOCNXCL);
  ::flock(loop_.Fd(), LOCK_UN);
  loop_.Release();
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
  if (const int e = ApplyDcb(loop_.Fd(), d); e != 0) return Fail(e);
  dcb_ = d;
  dcb_.DCBlength = sizeof(TDCB);
  loop_.UpdateReceiveHold();
  return true;
}

bool OpenPort::Setup(std::uint32_t inQueue) {
  if (inQueue > kMaxQueue) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (inQueue != 0)
    loop_.SetQueueLimit(inQueue);  // may throw std::bad_alloc
  else
    loop_.UpdateReceiveHold();
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
  events_.SetMask(mask);
  loop_.MaskChanged();
  return true;
}

bool OpenPort::WaitEvent(std::uint32_t* mask, TOverlapped* ov) {
  if (mask == nullptr || ov == nullptr) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  return Done(events_.Wait(mask, ov, loop_.HungUp()));
}

bool OpenPort::Read(void* buffer, std::uint32_t count, std::uint32_t* read, TOverlapped* ov) {
  if (buffer == nullptr && count != 0) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (ov != nullptr && requests_.IsOutstanding(ov)) return Fail(EINVAL);
  if (loop_.Queued() == 0 && loop_.HungUp()) return Fail(EIO);
  const auto n = static_cast<std::uint32_t>(loop_.Take(static_cast<std::uint8_t*>(buffer), count));
  if (read != nullptr) *read = n;
  if (ov != nullptr) requests_.CompleteAtOnce(ov, n);
  return true;
}

bool OpenPort::Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                     TOverlapped* ov) {
  if (ov == nullptr || (buffer == nullptr && count != 0)) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (requests_.IsOutstanding(ov)) return Fail(EINVAL);
  return Done(loop_.Write(ov, static_cast<const std::uint8_t*>(buffer), count, written));
}

bool OpenPort::Result(TOverlapped* ov, std::uint32_t* transferred, bool wait) {
  if (ov == nullptr) return Fail(EINVAL);
  if (wait) {
    std::unique_lock lock(m_);
    requests_.WaitEnded(lock, ov);
  }
  return Done(RequestTable::Result(ov, transferred));
}

bool OpenPort::Cancel(TOverlapped* ov) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (ov == nullptr)
    requests_.AbortAll(kErrorOperationAborted);
  else
    requests_.Cancel(ov);
  return true;
}

bool OpenPort::ClearError(std::uint32_t* errors, TComStat* stat) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  // Like a removed adapter: once nothing is left to read, asking fails, so
  // a caller polling for bytes learns at once that none will come. The
  // first look at the empty line still answers (a line event dispatched
  // just before the hang-up reads the status once more).
  if (loop_.HungUp() && loop_.Queued() == 0) {
    if (hang_up_seen_empty_) return Fail(EIO);
    hang_up_seen_empty_ = true;
  }
  if (errors != nullptr) *errors = events_.TakeErrors();
  if (stat != nullptr) {
    std::uint64_t out = requests_.Unwritten();
    int driverQueue = 0;
    if (!loop_.HungUp() && ::ioctl(loop_.Fd(), TIOCOUTQ, &driverQueue) == 0 && driverQueue > 0)
      out += static_cast<std::uint64_t>(driverQueue);
    stat->Flags = 0;
    stat->cbInQue = static_cast<std::uint32_t>(loop_.Queued());
    stat->cbOutQue = static_cast<std::uint32_t>(std::min<std::uint64_t>(out, UINT32_MAX));
  }
  return true;
}

bool OpenPort::Purge(std::uint32_t flags) {
  if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return Fail(EINVAL);
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (flags & kPurgeTxAbort) requests_.AbortWrites(kErrorOperationAborted);
  // kPurgeRxAbort: reads complete at once, none is ever outstanding.
  if ((flags & kPurgeTxClear) && !loop_.HungUp() && ::tcflush(loop_.Fd(), TCOFLUSH) != 0)
    return Fail(errno);
  if (flags & kPurgeRxClear) {
    loop_.ClearQueue();
    if (!loop_.HungUp() && ::tcflush(loop_.Fd(), TCIFLUSH) != 0) return Fail(errno);
  }
  return true;
}

bool OpenPort::Escape(std::uint32_t function) {
  std::lock_guard lock(m_);
  if (closed_) return Fail(EBADF);
  if (function == kResetDev) return true;  // a terminal has no reset to give
  if (function < kSetXoff || function > kClrBreak) return Fail(EINVAL);
  if (loop_.HungUp()) return Fail(EIO);
  const int fd = loop_.Fd();
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

bool OpenPort::WaitReceived(std::uint32_t count, std::int64_t timeoutUs) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_);
  if (closed_) return Fail(EBADF);
  if (timeoutUs > 0)
    loop_.WaitReceived(lock, count, Clock::now() + std::chrono::microseconds(timeoutUs));
  return true;
}

}  // namespace serial::posix
