#include "serial/device/posix/TermiosSettings.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace serial::posix {
namespace {

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

}  // namespace

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

int CheckDcb(const TDCB& d) {
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2)
    return EINVAL;
#ifndef CMSPAR
  if (d.Parity > 2) return EINVAL;
#endif
  // One and a half stop bits exist only for 5-bit characters (where a UART
  // sends them for "two"), two only for 6 to 8 bits, as on the platform.
  if (d.StopBits == 1 && d.ByteSize != 5) return EINVAL;
  if (d.StopBits == 2 && d.ByteSize == 5) return EINVAL;
  // What a terminal cannot do at all.
  const std::uint32_t dtrControl = (d.Flags & kDcbDtrControlMask) >> 4;
  const std::uint32_t rtsControl = (d.Flags & kDcbRtsControlMask) >> 12;
  if (dtrControl == 2 || rtsControl == 3) return EOPNOTSUPP;  // DTR handshake, RTS toggle
  if (d.Flags & (kDcbOutxDsrFlow | kDcbDsrSensitivity | kDcbNull | kDcbAbortOnError))
    return EOPNOTSUPP;
  // A character with a parity error is read as 0; no other replacement.
  if ((d.Flags & kDcbErrorChar) && !((d.Flags & kDcbParity) && d.ErrorChar == 0)) return EOPNOTSUPP;
  // The driver keeps sending while it holds the other side back with XOFF.
  if ((d.Flags & kDcbInX) && !(d.Flags & kDcbTxContinueOnXoff)) return EOPNOTSUPP;
  return 0;
}

namespace {

// The cflag and iflag bits a record decides.
constexpr tcflag_t kDcbCflags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS
#ifdef CMSPAR
                                | CMSPAR
#endif
    ;
constexpr tcflag_t kDcbIflags = INPCK | IXON | IXOFF;

// A pseudo-terminal has no wire: its kernel side keeps 8 bits without a
// parity bit whatever is asked, and bytes pass whole.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned major = ::major(st.st_rdev);
  return major >= 136 && major <= 143;  // Unix98 slaves
}

// The line as it was, to put back when a record cannot be carried whole.
struct SavedLine {
  termios t{};
  std::uint32_t otherRate = 0;  // a rate outside the table, else 0
  int modemLines = -1;          // TIOCM_* bits, or -1 without modem lines
};

int Save(int fd, SavedLine& saved) {
  if (::tcgetattr(fd, &saved.t) != 0) return errno;
  if (RateOf(cfgetospeed(&saved.t)) == 0) saved.otherRate = OtherSpeed(fd);
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) == 0) saved.modemLines = lines;
  return 0;
}

void Restore(int fd, const SavedLine& saved) {
  ::tcsetattr(fd, TCSANOW, &saved.t);
  if (saved.otherRate != 0) SetOtherSpeed(fd, saved.otherRate);
  if (saved.modemLines >= 0) {
    SetModemLine(fd, TIOCM_DTR, (saved.modemLines & TIOCM_DTR) != 0);
    SetModemLine(fd, TIOCM_RTS, (saved.modemLines & TIOCM_RTS) != 0);
  }
}

// Whether the line holds what was asked (wanted), as far as it can say.
bool Carried(int fd, const termios& wanted, std::uint32_t rate, bool standard) {
  termios now{};
  if (::tcgetattr(fd, &now) != 0) return false;
  tcflag_t cflags = kDcbCflags;
  if (IsPseudoTerminal(fd)) cflags &= ~(CSIZE | PARENB);
  if ((now.c_cflag & cflags) != (wanted.c_cflag & cflags)) return false;
  if ((now.c_iflag & kDcbIflags) != (wanted.c_iflag & kDcbIflags)) return false;
  if (now.c_cc[VSTART] != wanted.c_cc[VSTART] || now.c_cc[VSTOP] != wanted.c_cc[VSTOP])
    return false;
  if (standard) return cfgetospeed(&now) == cfgetospeed(&wanted);
  // A driver sets the nearest rate its clock makes; within 2% a UART still
  // understands the other side.
  const std::uint64_t actual = OtherSpeed(fd);
  const std::uint64_t diff = actual > rate ? actual - rate : rate - actual;
  return actual != 0 && diff * 50 <= rate;
}

}  // namespace

int ApplyDcb(int fd, const TDCB& d) {
  SavedLine saved;
  if (const int e = Save(fd, saved); e != 0) return e;
  termios t = saved.t;
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
  // CSTOPB gives 1.5 stop bits with 5-bit characters, 2 with more.
  if (d.StopBits != 0) t.c_cflag |= CSTOPB;
  if (d.Flags & kDcbParity) t.c_iflag |= INPCK;
  const std::uint32_t dtrControl = (d.Flags & kDcbDtrControlMask) >> 4;
  const std::uint32_t rtsControl = (d.Flags & kDcbRtsControlMask) >> 12;
  if ((d.Flags & kDcbOutxCtsFlow) || rtsControl == 2) t.c_cflag |= CRTSCTS;
  if (d.Flags & kDcbOutX) t.c_iflag |= IXON;
  if (d.Flags & kDcbInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

  speed_t code = 0;
  const bool standard = StandardSpeed(d.BaudRate, code);
  if (standard && (::cfsetispeed(&t, code) != 0 || ::cfsetospeed(&t, code) != 0)) return errno;
  // Applied as one record: a part the line does not take puts the line
  // back as it was.
  auto undo = [&](int e) {
    Restore(fd, saved);
    return e;
  };
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return undo(errno);
  if (!standard) {
    if (const int e = SetOtherSpeed(fd, d.BaudRate); e != 0) return undo(e);
  }
  if (!Carried(fd, t, d.BaudRate, standard)) return undo(EOPNOTSUPP);
  // RTS stays up under handshake control; the driver then moves it.
  if (const int e = SetModemLine(fd, TIOCM_DTR, dtrControl != 0); e != 0) return undo(e);
  if (const int e = SetModemLine(fd, TIOCM_RTS, rtsControl != 0); e != 0) return undo(e);
  return 0;
}

// Drivers without modem lines answer ENOTTY or EINVAL: there is nothing to
// set, which is not a failure.
int SetModemLine(int fd, int bit, bool on) {
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return 0;
  return (errno == ENOTTY || errno == EINVAL) ? 0 : errno;
}

namespace {

// Slots written only through their atomic descriptor (-1 free, -2 being
// filled), so a signal handler may read them while the program runs.
struct RememberedLine {
  std::atomic<int> fd{-1};
  termios settings{};
};
RememberedLine saved_lines[64];
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

}  // namespace

void RememberLineSettings(int fd, const termios& before) {
  for (RememberedLine& slot : saved_lines) {
    int free = -1;
    if (!slot.fd.compare_exchange_strong(free, -2)) continue;
    slot.settings = before;
    slot.fd.store(fd);
    return;
  }
}

void RestoreLineSettings(int fd) {
  for (RememberedLine& slot : saved_lines) {
    int mine = fd;
    if (!slot.fd.compare_exchange_strong(mine, -2)) continue;
    ::tcsetattr(fd, TCSANOW, &slot.settings);
    slot.fd.store(-1);
    return;
  }
}

void ReleaseLinesAtExit() {
  for (RememberedLine& slot : saved_lines) {
    const int fd = slot.fd.load();
    if (fd < 0) continue;
    ::tcsetattr(fd, TCSANOW, &slot.settings);
    ::ioctl(fd, TIOCNXCL);
  }
}

}  // namespace serial::posix
