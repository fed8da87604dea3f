#include "serial/device/PosixSerialApi.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "serial/device/PortMap.h"
#include "serial/device/UniqueFd.h"

namespace serial {
namespace {

// Like the platform's last error: one per thread, shared by all instances.
thread_local std::uint32_t t_last_error = 0;

bool Fail(std::uint32_t code) {
  t_last_error = code;
  return false;
}
bool Fail(int code) {
  return Fail(static_cast<std::uint32_t>(code));
}

THandle FailOpen(int code) {
  Fail(code);
  return kInvalidHandle;
}

// The receive queue never grows past this, whatever SetupComm asks for.
constexpr std::uint32_t kMaxQueue = 64u << 20;
constexpr std::uint32_t kDefaultQueue = 4096;

// Bytes received and not yet read, oldest first. Its storage is allocated by
// the caller's thread (open, SetupComm), never by the I/O thread.
class ByteRing {
 public:
  std::size_t Size() const { return size_; }
  std::size_t Limit() const { return limit_; }

  // Bytes beyond the limit are refused; queued bytes are never dropped here.
  void SetLimit(std::size_t limit) {
    std::vector<std::uint8_t> storage(std::max(limit, size_));
    const std::size_t kept = size_;
    Pop(storage.data(), kept);
    storage_ = std::move(storage);
    head_ = 0;
    size_ = kept;
    limit_ = limit;
  }

  // Returns how many bytes were taken.
  std::size_t Push(const std::uint8_t* data, std::size_t n) {
    const std::size_t room = size_ < limit_ ? limit_ - size_ : 0;
    const std::size_t take = std::min(n, room);
    for (std::size_t done = 0; done < take;) {
      const std::size_t tail = (head_ + size_) % storage_.size();
      const std::size_t chunk = std::min(take - done, storage_.size() - tail);
      std::memcpy(storage_.data() + tail, data + done, chunk);
      size_ += chunk;
      done += chunk;
    }
    return take;
  }

  // Copies out and removes up to n bytes; returns how many.
  std::size_t Pop(std::uint8_t* out, std::size_t n) {
    const std::size_t take = std::min(n, size_);
    for (std::size_t done = 0; done < take;) {
      const std::size_t chunk = std::min(take - done, storage_.size() - head_);
      std::memcpy(out + done, storage_.data() + head_, chunk);
      head_ = (head_ + chunk) % storage_.size();
      size_ -= chunk;
      done += chunk;
    }
    if (size_ == 0) head_ = 0;
    return take;
  }

  void Clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  std::vector<std::uint8_t> storage_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t limit_ = 0;
};

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool StandardSpeed(std::uint32_t rate, speed_t& code) {
  for (const BaudEntry& e : kBaudRates) {
    if (e.rate == rate) {
      code = e.code;
      return true;
    }
  }
  return false;
}

std::uint32_t RateOf(speed_t code) {
  for (const BaudEntry& e : kBaudRates)
    if (e.code == code) return e.rate;
  return 0;
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
// Any rate through the kernel's termios2 record. <asm/termbits.h> cannot be
// included next to <termios.h>, so its layout (the generic one, on the
// architectures above) is restated here.
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
constexpr tcflag_t kBaudOther = 0010000;  // BOTHER
constexpr tcflag_t kBaudMask = 0010017;   // CBAUD

// 0 or an errno value.
int SetOtherSpeed(int fd, std::uint32_t rate) {
  KernelTermios2 t{};
  if (::ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t) != 0) return errno;
  t.c_cflag &= ~(kBaudMask | (kBaudMask << 16));  // output and input speed codes
  t.c_cflag |= kBaudOther;
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (::ioctl(fd, _IOW('T', 0x2B, KernelTermios2), &t) != 0) return errno;
  return 0;
}

std::uint32_t OtherSpeed(int fd) {
  KernelTermios2 t{};
  if (::ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t) != 0) return 0;
  return t.c_ospeed;
}
#else
int SetOtherSpeed(int, std::uint32_t) {
  return EINVAL;
}
std::uint32_t OtherSpeed(int) {
  return 0;
}
#endif

std::uint32_t CurrentRate(int fd, const termios& t) {
  const speed_t code = cfgetospeed(&t);
  const std::uint32_t rate = RateOf(code);
  return rate != 0 ? rate : OtherSpeed(fd);
}

// A serial line moves bytes untouched: no echo, no line editing, no
// character translation, 8 bits, receiver on, modem status ignored.
void MakeRaw(termios& t) {
  cfmakeraw(&t);
  t.c_iflag &= ~(INPCK | IXOFF | IXANY | IGNPAR);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

TDCB DcbFromTermios(int fd, const termios& t) {
  TDCB d{};
  d.DCBlength = sizeof(TDCB);
  d.BaudRate = CurrentRate(fd, t);
  d.Flags = kDcbBinary | (1u << 4);  // DTR on
  if (t.c_iflag & INPCK) d.Flags |= kDcbParity;
  if (t.c_cflag & CRTSCTS)
    d.Flags |= kDcbOutxCtsFlow | (2u << 12);  // RTS handshake
  else
    d.Flags |= 1u << 12;  // RTS on
  if (t.c_iflag & IXON) d.Flags |= kDcbOutX;
  if (t.c_iflag & IXOFF) d.Flags |= kDcbInX;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
#ifdef CMSPAR
    if (t.c_cflag & CMSPAR)
      d.Parity = odd ? 3 : 4;
    else
#endif
      d.Parity = odd ? 1 : 2;
  }
  d.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return d;
}

// Sets or clears a modem line. Drivers without modem lines (pseudo-terminals)
// answer ENOTTY or EINVAL: there is nothing to set, which is not a failure.
int SetModemLine(int fd, int bit, bool on) {
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return 0;
  return (errno == ENOTTY || errno == EINVAL) ? 0 : errno;
}

bool IsHangUpError(int e) {
  return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE;
}

std::string StrError(int code, char* buf, std::size_t size) {
  // Both variants of strerror_r: the GNU one returns the text.
  auto text = [&](auto r) -> std::string {
    if constexpr (std::is_same_v<decltype(r), int>) {
      return r == 0 ? std::string(buf) : "Unknown error " + std::to_string(code);
    } else {
      return std::string(r);
    }
  };
  return text(strerror_r(code, buf, size));
}

}  // namespace

class PosixSerialApi::Port {
 public:
  Port(UniqueFd fd, UniqueFd wakeRead, UniqueFd wakeWrite, const TDCB& dcb)
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

  ~Port() {
    Shutdown();
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Takes the line for this process alone and starts the I/O thread; 0 or
  // an errno value. Throws std::system_error when no thread can be made.
  int Open() {
    if (::ioctl(fd_.Get(), TIOCEXCL) != 0) return errno;
    thread_ = std::thread([this] { Run(); });
    return 0;
  }

  // Ends every outstanding request with kErrorOperationAborted, stops the I/O
  // thread and releases the device. Later calls fail with EBADF.
  void Shutdown() {
    {
      std::lock_guard lock(m_);
      if (closed_) return;
      closed_ = true;
      stopping_ = true;
      AbortAll(kErrorOperationAborted);
      cv_.notify_all();
    }
    Wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(m_);
    // Another process may keep the line open: leave it openable for the
    // next user. After a hang-up these fail, and there is nothing to undo.
    ::ioctl(fd_.Get(), TIOCNXCL);
    ::flock(fd_.Get(), LOCK_UN);
    fd_.Reset();
    wake_read_.Reset();
    wake_write_.Reset();
  }

  bool GetState(TDCB& dcb) {
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    dcb = dcb_;
    return true;
  }

  bool SetState(const TDCB& d) {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2)
      return Fail(EINVAL);
#ifndef CMSPAR
    if (d.Parity > 2) return Fail(EINVAL);
#endif
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    const int fd = fd_.Get();
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return Fail(errno);
    MakeRaw(t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[d.ByteSize - 5];
    switch (d.Parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
      case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
#endif
      default:
        break;
    }
    // One and a half stop bits exist only for 5-bit characters; two is the
    // nearest a terminal offers.
    if (d.StopBits != 0) t.c_cflag |= CSTOPB;
    if (d.Flags & kDcbParity) t.c_iflag |= INPCK;
    const std::uint32_t dtrControl = (d.Flags & kDcbDtrControlMask) >> 4;
    const std::uint32_t rtsControl = (d.Flags & kDcbRtsControlMask) >> 12;
    if ((d.Flags & kDcbOutxCtsFlow) || rtsControl == 2) t.c_cflag |= CRTSCTS;
    if (d.Flags & kDcbOutX) t.c_iflag |= IXON;
    if (d.Flags & kDcbInX) t.c_iflag |= IXOFF;
    // DSR flow and sensitivity, the error and null characters and abort on
    // error have no terminal counterpart and are not applied.
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

    speed_t code = 0;
    const bool standard = StandardSpeed(d.BaudRate, code);
    if (standard && (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0))
      return Fail(errno);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return Fail(errno);
    if (!standard) {
      if (const int e = SetOtherSpeed(fd, d.BaudRate); e != 0) return Fail(e);
    }
    // RTS stays up under handshake and toggle control; the driver or the
    // line then moves it.
    if (const int e = SetModemLine(fd, TIOCM_DTR, dtrControl != 0); e != 0) return Fail(e);
    if (const int e = SetModemLine(fd, TIOCM_RTS, rtsControl != 0); e != 0) return Fail(e);
    dcb_ = d;
    dcb_.DCBlength = sizeof(TDCB);
    return true;
  }

  bool Setup(std::uint32_t inQueue) {
    if (inQueue > kMaxQueue) return Fail(EINVAL);
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    if (inQueue != 0) queue_.SetLimit(inQueue);  // may throw std::bad_alloc
    return true;
  }

  bool SetTimeouts(const TCommTimeouts& timeouts) {
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    timeouts_ = timeouts;
    return true;
  }

  // Like the platform: a new mask forgets the events seen so far and ends an
  // outstanding wait with no events.
  bool SetMask(std::uint32_t mask) {
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

  bool WaitEvent(std::uint32_t* mask, TOverlapped* ov) {
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

  bool Read(void* buffer, std::uint32_t count, std::uint32_t* read, TOverlapped* ov) {
    if (buffer == nullptr && count != 0) return Fail(EINVAL);
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    if (ov != nullptr && IsOutstanding(ov)) return Fail(EINVAL);
    if (queue_.Size() == 0 && hung_up_) return Fail(EIO);
    const auto n =
        static_cast<std::uint32_t>(queue_.Pop(static_cast<std::uint8_t*>(buffer), count));
    if (read != nullptr) *read = n;
    if (ov != nullptr) {
      Begin(ov);
      Complete(ov, n, 0);
    }
    return true;
  }

  bool Write(const void* buffer, std::uint32_t count, std::uint32_t* written, TOverlapped* ov) {
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
    if (writes_.empty()) {
      ssize_t n = 0;
      do {
        n = ::write(fd_.Get(), data, count);
      } while (n < 0 && errno == EINTR);
      if (n > 0) {
        if (written != nullptr) *written = static_cast<std::uint32_t>(n);
        Begin(ov);
        Complete(ov, static_cast<std::uintptr_t>(n), 0);
        RaiseEvents(kEvTxEmpty);
        return true;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        const int e = errno;
        if (IsHangUpError(e)) HangUp();
        return Fail(e);
      }
    }
    writes_.push_back(WriteRequest{ov, data, count, 0});  // may throw std::bad_alloc
    Begin(ov);
    Wake();
    return Fail(kErrorIoPending);
  }

  bool Result(TOverlapped* ov, std::uint32_t* transferred, bool wait) {
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

  bool Cancel(TOverlapped* ov) {
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

  bool ClearError(std::uint32_t* errors, TComStat* stat) {
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
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

  bool Purge(std::uint32_t flags) {
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear))
      return Fail(EINVAL);
    std::lock_guard lock(m_);
    if (closed_) return Fail(EBADF);
    if (flags & kPurgeTxAbort) AbortWrites(kErrorOperationAborted);
    // kPurgeRxAbort: reads complete at once, none is ever outstanding.
    if ((flags & kPurgeTxClear) && !hung_up_ && ::tcflush(fd_.Get(), TCOFLUSH) != 0)
      return Fail(errno);
    if (flags & kPurgeRxClear) {
      queue_.Clear();
      if (!hung_up_ && ::tcflush(fd_.Get(), TCIFLUSH) != 0) return Fail(errno);
    }
    return true;
  }

  bool Escape(std::uint32_t function) {
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

 private:
  struct WriteRequest {
    TOverlapped* ov;
    const std::uint8_t* data;
    std::uint32_t count;
    std::uint32_t done;
  };

  // A request starts: its event is reset and it is marked outstanding.
  static void Begin(TOverlapped* ov) {
    if (ov->hEvent != kNoEvent) platform_event::Reset(ov->hEvent);
    ov->StoreTransferred(0);
    ov->StoreStatus(kStatusPending);
  }

  // A request ends. Called under m_, so a caller that cancels or closes
  // knows the record is no longer touched once it holds m_ again.
  void Complete(TOverlapped* ov, std::uintptr_t transferred, std::uint32_t status) {
    ov->StoreTransferred(transferred);
    ov->StoreStatus(status);
    if (ov->hEvent != kNoEvent) platform_event::Signal(ov->hEvent);
    cv_.notify_all();
  }

  void CompleteWait(std::uint32_t events, std::uint32_t status) {
    TOverlapped* ov = std::exchange(wait_ov_, nullptr);
    *std::exchange(wait_mask_, nullptr) = events;
    Complete(ov, 0, status);
  }

  bool IsOutstanding(const TOverlapped* ov) const {
    if (wait_ov_ == ov) return true;
    return std::any_of(writes_.begin(), writes_.end(),
                       [ov](const WriteRequest& w) { return w.ov == ov; });
  }

  void AbortWrites(std::uint32_t status) {
    while (!writes_.empty()) {
      const WriteRequest w = writes_.front();
      writes_.pop_front();
      Complete(w.ov, w.done, status);
    }
  }

  void AbortAll(std::uint32_t status) {
    AbortWrites(status);
    if (wait_ov_ != nullptr) CompleteWait(0, status);
  }

  static constexpr std::uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
  static constexpr int kModemLinePollMs = 10;

  bool WatchesModemLines() const {
    return have_modem_lines_ && !hung_up_ && (mask_ & kModemEvents) != 0;
  }

  // Raises CTS, DSR and carrier changes, and the start of a ring.
  void CheckModemLines() {
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

  // Events outside the mask are not recorded, as on the platform.
  void RaiseEvents(std::uint32_t events) {
    pending_ |= events & mask_;
    if (wait_ov_ != nullptr && pending_ != 0) CompleteWait(std::exchange(pending_, 0), 0);
  }

  void Wake() {
    const char byte = 1;
    // A full pipe already wakes the thread.
    [[maybe_unused]] const ssize_t r = ::write(wake_write_.Get(), &byte, 1);
  }

  void DrainWake() {
    char buf[64];
    while (::read(wake_read_.Get(), buf, sizeof buf) > 0) {
    }
  }

  // The device is gone (unplugged, or the other side closed). Its descriptor
  // is no longer polled; what is queued can still be read.
  void HangUp() {
    if (hung_up_) return;
    hung_up_ = true;
    errors_ |= kCeIoError;
    AbortWrites(EIO);
    RaiseEvents(kEvErr);
    if (wait_ov_ != nullptr) CompleteWait(0, EIO);
  }

  // Line errors counted by the driver since the last look.
  std::uint32_t LineErrors() {
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
    count(icount_.buf_overrun, now.buf_overrun, kCeRxOver, 0);
    count(icount_.brk, now.brk, kCeBreak, kEvBreak);
    icount_ = now;
    return events;
#else
    return 0;
#endif
  }

  void Accept(const std::uint8_t* data, std::size_t n) {
    const bool below80 = queue_.Size() * 5 < queue_.Limit() * 4;
    if (queue_.Push(data, n) < n) errors_ |= kCeRxOver;
    std::uint32_t events = kEvRxChar | LineErrors();
    if (std::memchr(data, static_cast<unsigned char>(dcb_.EvtChar), n) != nullptr)
      events |= kEvRxFlag;
    if (below80 && queue_.Size() * 5 >= queue_.Limit() * 4) events |= kEvRx80Full;
    RaiseEvents(events);
  }

  void ReceiveFromDevice(short revents) {
    // Bounded, so a device that never pauses cannot hold m_ for long.
    for (int round = 0; round < 16; ++round) {
      const ssize_t n = ::read(fd_.Get(), rx_buffer_, sizeof rx_buffer_);
      if (n > 0) {
        Accept(rx_buffer_, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof rx_buffer_) return;
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

  void SendPending() {
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
    if (completed) RaiseEvents(kEvTxEmpty);
  }

  void Run() {
    std::unique_lock lock(m_);
    while (!stopping_) {
      pollfd fds[2] = {{wake_read_.Get(), POLLIN, 0}, {fd_.Get(), 0, 0}};
      nfds_t count = 1;
      if (!hung_up_) {
        fds[1].events = static_cast<short>(POLLIN | (writes_.empty() ? 0 : POLLOUT));
        count = 2;
      }
      // The modem lines have no descriptor to wait on: while a handler asks
      // for their changes, they are looked at every few milliseconds.
      const int timeout = WatchesModemLines() ? kModemLinePollMs : -1;
      lock.unlock();
      const int r = ::poll(fds, count, timeout);
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

  std::mutex m_;
  std::condition_variable cv_;  // a request ended
  UniqueFd fd_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  bool closed_ = false;
  bool stopping_ = false;
  bool hung_up_ = false;
  TDCB dcb_;
  TCommTimeouts timeouts_{};
  ByteRing queue_;
  std::uint32_t mask_ = 0;
  std::uint32_t pending_ = 0;  // events seen and not yet reported
  std::uint32_t errors_ = 0;   // error flags since the last ClearCommError
  TOverlapped* wait_ov_ = nullptr;
  std::uint32_t* wait_mask_ = nullptr;
  std::deque<WriteRequest> writes_;
  std::uint8_t rx_buffer_[4096];
  bool have_modem_lines_ = false;
  int modem_lines_ = 0;  // TIOCM_* bits last seen
#if defined(__linux__) && defined(TIOCGICOUNT)
  bool have_icount_ = false;
  serial_icounter_struct icount_{};
#endif
  std::thread thread_;  // last: it runs on everything above
};

PosixSerialApi::PosixSerialApi() = default;

PosixSerialApi::~PosixSerialApi() {
  std::map<THandle, std::shared_ptr<Port>> ports;
  {
    std::lock_guard lock(table_mutex_);
    ports.swap(ports_);
  }
  for (auto& [h, port] : ports) port->Shutdown();
}

std::shared_ptr<PosixSerialApi::Port> PosixSerialApi::Find(THandle h) {
  std::lock_guard lock(table_mutex_);
  const auto it = ports_.find(h);
  if (it == ports_.end()) {
    Fail(EBADF);
    return nullptr;
  }
  return it->second;
}

THandle PosixSerialApi::CreateFileA(const std::string& name, std::uint32_t, std::uint32_t,
                                    std::uint32_t, std::uint32_t) {
  // The arguments are always read/write, exclusive, existing, overlapped here.
  try {
    const std::string path = ResolvePortName(name);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return FailOpen(errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
      return FailOpen(errno == EWOULDBLOCK ? EBUSY : errno);
    termios t{};
    if (::tcgetattr(fd.Get(), &t) != 0) return FailOpen(errno);
#ifdef TIOCGEXCL
    // Someone holds the line exclusively without the lock (only a privileged
    // opener gets this far).
    int exclusive = 0;
    if (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return FailOpen(EBUSY);
#endif
    MakeRaw(t);
    if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0) return FailOpen(errno);
    const TDCB dcb = DcbFromTermios(fd.Get(), t);

    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return FailOpen(errno);
    UniqueFd wakeRead(pipeFds[0]);
    UniqueFd wakeWrite(pipeFds[1]);
    for (const int p : pipeFds) {
      ::fcntl(p, F_SETFD, FD_CLOEXEC);
      ::fcntl(p, F_SETFL, ::fcntl(p, F_GETFL) | O_NONBLOCK);
    }
    // From here the port owns the descriptor and undoes the open on failure.
    auto port =
        std::make_shared<Port>(std::move(fd), std::move(wakeRead), std::move(wakeWrite), dcb);
    if (const int e = port->Open(); e != 0) return FailOpen(e);
    std::lock_guard lock(table_mutex_);
    const THandle h = next_handle_++;
    ports_.emplace(h, std::move(port));
    return h;
  } catch (const std::bad_alloc&) {
    return FailOpen(ENOMEM);
  } catch (const std::system_error& e) {
    return FailOpen(e.code().value());
  }
}

bool PosixSerialApi::CloseHandle(THandle h) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(table_mutex_);
    const auto it = ports_.find(h);
    if (it == ports_.end()) return Fail(EBADF);
    port = std::move(it->second);
    ports_.erase(it);
  }
  port->Shutdown();
  return true;
}

bool PosixSerialApi::GetCommState(THandle h, TDCB& dcb) {
  const auto port = Find(h);
  return port && port->GetState(dcb);
}

bool PosixSerialApi::SetCommState(THandle h, const TDCB& dcb) {
  const auto port = Find(h);
  return port && port->SetState(dcb);
}

bool PosixSerialApi::SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t) {
  // Writes go straight to the driver: there is no transmit queue to size.
  const auto port = Find(h);
  try {
    return port && port->Setup(inQueue);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

bool PosixSerialApi::SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) {
  const auto port = Find(h);
  return port && port->SetTimeouts(timeouts);
}

bool PosixSerialApi::SetCommMask(THandle h, std::uint32_t mask) {
  const auto port = Find(h);
  return port && port->SetMask(mask);
}

bool PosixSerialApi::WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->WaitEvent(mask, ov);
}

bool PosixSerialApi::ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                              TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->Read(buffer, count, read, ov);
}

bool PosixSerialApi::WriteFile(THandle h, const void* buffer, std::uint32_t count,
                               std::uint32_t* written, TOverlapped* ov) {
  const auto port = Find(h);
  try {
    return port && port->Write(buffer, count, written, ov);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

bool PosixSerialApi::GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                                         bool wait) {
  const auto port = Find(h);
  return port && port->Result(ov, transferred, wait);
}

bool PosixSerialApi::CancelIoEx(THandle h, TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->Cancel(ov);
}

bool PosixSerialApi::ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) {
  const auto port = Find(h);
  return port && port->ClearError(errors, stat);
}

bool PosixSerialApi::PurgeComm(THandle h, std::uint32_t flags) {
  const auto port = Find(h);
  return port && port->Purge(flags);
}

bool PosixSerialApi::EscapeCommFunction(THandle h, std::uint32_t function) {
  const auto port = Find(h);
  return port && port->Escape(function);
}

std::uint32_t PosixSerialApi::GetLastError() {
  return t_last_error;
}

std::string PosixSerialApi::ErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorOperationAborted:
      return "The I/O operation was aborted";
    case kErrorIoIncomplete:
      return "The I/O operation has not completed";
    case kErrorIoPending:
      return "The I/O operation is in progress";
    default:
      break;
  }
  if (code > static_cast<std::uint32_t>(INT_MAX)) return "Unknown error " + std::to_string(code);
  char buf[256];
  return StrError(static_cast<int>(code), buf, sizeof buf);
}

TErrorKind PosixSerialApi::ErrorKindOf(std::uint32_t code) {
  switch (static_cast<int>(code)) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return TErrorKind::ekNotFound;
    case EBUSY:
    case EWOULDBLOCK:
      return TErrorKind::ekBusy;
    case EACCES:
    case EPERM:
      return TErrorKind::ekNoPermission;
    case EIO:
    case EPIPE:
      return TErrorKind::ekHungUp;
    default:
      return TErrorKind::ekOther;
  }
}

bool PosixSerialApi::GetVersionExA(TOSVersionInfo& info) {
  info = TOSVersionInfo{};
  info.dwOSVersionInfoSize = sizeof(TOSVersionInfo);
  info.dwPlatformId = kVerPlatformWin32Windows;  // not NT: device names need no prefix
  utsname u{};
  if (::uname(&u) == 0) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.dwBuildNumber = patch;
    std::snprintf(info.szCSDVersion, sizeof info.szCSDVersion, "%s", u.sysname);
  }
  return true;
}

SerialApi& PlatformSerialApi() {
  static PosixSerialApi api;
  return api;
}

}  // namespace serial
