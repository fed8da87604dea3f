// The termios back end driven directly on real pseudo-terminals: the test
// holds the master side (the device), the back end opens the slave.
#include "serial/device/posix/PosixSerialApi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Pty.h"

namespace serial {
namespace {

using namespace std::chrono_literals;
using testsupport::Pty;
using testsupport::ScopedPortMap;
using Bytes = std::vector<std::uint8_t>;

// Bound for things that must happen (milliseconds); they normally take far less.
constexpr std::uint32_t kMustHappenMs = 2000;

std::uint32_t Errno(int e) {
  return static_cast<std::uint32_t>(e);
}

class Event {
 public:
  Event() : h_(platform_event::Create()) {}
  ~Event() { platform_event::Destroy(h_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  EventHandle Get() const { return h_; }
  bool WaitFor(std::uint32_t ms) const { return platform_event::Wait(h_, ms) == 0; }
  bool IsSignaled() const { return platform_event::IsSignaled(h_); }

 private:
  EventHandle h_;
};

// An overlapped record with its own event.
struct Request {
  Request() { ov.hEvent = event.Get(); }
  Event event;
  TOverlapped ov{};
};

// Ends a test's outstanding requests before the data they point into goes.
struct CancelOnExit {
  ~CancelOnExit() {
    if (h != kInvalidHandle) api.CancelIoEx(h, nullptr);
  }
  SerialApi& api;
  const THandle& h;
};

struct JoinOnExit {
  ~JoinOnExit() {
    if (thread.joinable()) thread.join();
  }
  std::thread thread;
};

Bytes AllByteValues() {
  Bytes v(256);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

// The line settings as the kernel holds them.
termios LineSettings(const std::string& path) {
  termios t{};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd >= 0) {
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
  }
  return t;
}

double ProcessCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

class PosixSerialApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = Open(pty_.SlavePath());
    ASSERT_NE(h_, kInvalidHandle) << api_.ErrorText(api_.GetLastError());
  }
  void TearDown() override {
    if (h_ != kInvalidHandle) api_.CloseHandle(h_);
  }

  THandle Open(const std::string& name) {
    return api_.CreateFileA(name, kGenericReadWrite, 0, kOpenExisting, kFileFlagOverlapped);
  }
  void Close() {
    ASSERT_TRUE(api_.CloseHandle(h_));
    h_ = kInvalidHandle;
  }
  std::uint32_t LastError() { return api_.GetLastError(); }

  // The status record; consumes the error flags.
  TComStat Status() {
    std::uint32_t errors = 0;
    TComStat s{};
    EXPECT_TRUE(api_.ClearCommError(h_, &errors, &s));
    return s;
  }

  // Waits until the receive queue holds at least n bytes; returns its count.
  std::uint32_t WaitInQueue(std::uint32_t n) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::uint32_t have = Status().cbInQue;
    while (have < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
      have = Status().cbInQue;
    }
    return have;
  }

  Bytes ReadAll() {
    Bytes in(4096);
    std::uint32_t n = 0;
    EXPECT_TRUE(api_.ReadFile(h_, in.data(), static_cast<std::uint32_t>(in.size()), &n, &r_.ov));
    in.resize(n);
    return in;
  }

  // Writes chunk after chunk until one stays outstanding in r because the
  // line is full (nobody reads the device side).
  void FillLine(Request& r, const Bytes& chunk) {
    for (int i = 0; i < 1000; ++i) {
      std::uint32_t n = 0;
      if (!api_.WriteFile(h_, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &n, &r.ov)) {
        EXPECT_EQ(LastError(), kErrorIoPending);
        return;
      }
      EXPECT_GT(n, 0u);
    }
    ADD_FAILURE() << "the line never filled up";
  }

  TDCB CurrentDcb() {
    TDCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(api_.GetCommState(h_, dcb));
    return dcb;
  }

  // The port's own settings: 115200 baud, 8N1, no flow control.
  TDCB PortDcb() {
    TDCB dcb = CurrentDcb();
    dcb.BaudRate = 115200;
    dcb.Flags = kDcbBinary;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.XonLim = 1024;
    dcb.XoffLim = 1024;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
  }

  Pty pty_;
  PosixSerialApi api_;
  THandle h_ = kInvalidHandle;
  // Records and data of requests a test may leave outstanding when it fails
  // early: they outlive the close in TearDown.
  Request w_;
  Request e_;
  Request r_;
  const Bytes chunk_ = Bytes(4096, 'x');
};

// ---- Opening ------------------------------------------------------------

TEST_F(PosixSerialApiTest, OpenIsExclusiveUntilClosed) {
  EXPECT_EQ(Open(pty_.SlavePath()), kInvalidHandle);
  EXPECT_EQ(LastError(), Errno(EBUSY));
  EXPECT_EQ(api_.ErrorText(LastError()), "Device or resource busy");

  // Other programs are kept out by the terminal's exclusive mode and by the
  // lock; while another side keeps the line open, neither may outlive us.
  const int fd = ::open(pty_.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
  Close();
  ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);

  h_ = Open(pty_.SlavePath());
  EXPECT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());
}

TEST_F(PosixSerialApiTest, OpensComNameThroughThePortMap) {
  Close();
  ScopedPortMap map;
  map.Map("COM3", pty_.SlavePath());
  h_ = Open("COM3");
  ASSERT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());

  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, "hi", 2, &n, &w_.ov));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(pty_.Receive(2, 2s), (Bytes{'h', 'i'}));
}

TEST_F(PosixSerialApiTest, MissingDeviceIsFileNotFound) {
  EXPECT_EQ(Open("/dev/comflash-no-such-device"), kInvalidHandle);
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  ScopedPortMap map;
  map.Map("COM7", map.Folder() + "/unplugged");
  EXPECT_EQ(Open("COM7"), kInvalidHandle);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST_F(PosixSerialApiTest, RefusesWhatIsNotATerminal) {
  EXPECT_EQ(Open("/dev/null"), kInvalidHandle);
  EXPECT_EQ(LastError(), Errno(ENOTTY));
}

TEST_F(PosixSerialApiTest, OpenMakesTheLineRaw) {
  Close();
  {
    const int fd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle);

  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

  // Line ends pass untranslated and nothing is echoed.
  pty_.Send("a\rb\n");
  ASSERT_EQ(WaitInQueue(4), 4u);
  EXPECT_EQ(ReadAll(), (Bytes{'a', '\r', 'b', '\n'}));
  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, "c\n", 2, &n, &w_.ov));
  EXPECT_EQ(pty_.Drain(50ms), (Bytes{'c', '\n'}));
}

// ---- Settings -----------------------------------------------------------

TEST_F(PosixSerialApiTest, SetCommStateAppliesThePortSettings) {
  const TDCB dcb = PortDcb();
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());

  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  const TDCB back = CurrentDcb();
  EXPECT_EQ(back.DCBlength, 28u);
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
}

// A pseudo-terminal always keeps 8 data bits without a parity bit (the
// kernel overrides CSIZE and PARENB), so those two cannot be read back here.
TEST_F(PosixSerialApiTest, SetCommStateAppliesParityStopBitsAndFlowControl) {
  TDCB dcb = PortDcb();
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 3;  // mark
  dcb.StopBits = 2;
  dcb.Flags = kDcbBinary | kDcbParity | kDcbOutX | kDcbInX;
  dcb.XonChar = 0x01;
  dcb.XoffChar = 0x02;
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(CMSPAR | PARODD));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), static_cast<tcflag_t>(INPCK | IXON | IXOFF));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  EXPECT_EQ(CurrentDcb().ByteSize, 7);

  dcb.Parity = 4;  // space
  dcb.StopBits = 0;
  dcb.Flags = kDcbBinary | kDcbOutxCtsFlow;
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB), static_cast<tcflag_t>(CMSPAR));
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

  dcb.Parity = 1;                       // odd
  dcb.Flags = kDcbBinary | (2u << 12);  // RTS handshake
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(PARODD));
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

  dcb.Parity = 2;  // even
  dcb.Flags = kDcbBinary;
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CRTSCTS), 0u);
}

TEST_F(PosixSerialApiTest, SetCommStateRefusesImpossibleRecords) {
  const TDCB good = PortDcb();
  ASSERT_TRUE(api_.SetCommState(h_, good));
  auto refused = [&](TDCB dcb) {
    EXPECT_FALSE(api_.SetCommState(h_, dcb));
    EXPECT_EQ(LastError(), Errno(EINVAL));
  };
  TDCB bad = good;
  bad.ByteSize = 4;
  refused(bad);
  bad = good;
  bad.ByteSize = 9;
  refused(bad);
  bad = good;
  bad.BaudRate = 0;
  refused(bad);
  bad = good;
  bad.Parity = 5;
  refused(bad);
  bad = good;
  bad.StopBits = 3;
  refused(bad);

  const TDCB back = CurrentDcb();
  EXPECT_EQ(std::memcmp(&back, &good, sizeof good), 0);
  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
TEST_F(PosixSerialApiTest, SetsARateOutsideTheStandardTable) {
  TDCB dcb = PortDcb();
  dcb.BaudRate = 250000;
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & CBAUD, 0010000u);  // the kernel's "other rate" code

  // A new opening reads the rate back from the line itself.
  Close();
  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle);
  EXPECT_EQ(CurrentDcb().BaudRate, 250000u);
}
#endif

// ---- Data ---------------------------------------------------------------

TEST_F(PosixSerialApiTest, PassesAllByteValuesBothWays) {
  ASSERT_TRUE(api_.SetCommState(h_, PortDcb()));
  const Bytes bytes = AllByteValues();

  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, bytes.data(), 256, &n, &w_.ov));
  EXPECT_EQ(n, 256u);
  EXPECT_TRUE(w_.event.IsSignaled());
  EXPECT_EQ(pty_.Receive(256, 2s), bytes);

  pty_.Send(bytes);
  ASSERT_EQ(WaitInQueue(256), 256u);
  Bytes in(300);
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 300, &n, &r_.ov));
  ASSERT_EQ(n, 256u);
  in.resize(n);
  EXPECT_EQ(in, bytes);
  EXPECT_TRUE(r_.event.IsSignaled());
  EXPECT_EQ(r_.ov.LoadTransferred(), 256u);

  // An empty queue completes a read at once with nothing.
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 1, &n, &r_.ov));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(r_.event.IsSignaled());
}

TEST_F(PosixSerialApiTest, WriteLargerThanTheLineBufferArrivesInOrder) {
  Bytes data(256 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);

  std::size_t sent = 0;
  bool wentPending = false;
  Bytes received;
  JoinOnExit reader;
  CancelOnExit cancel{api_, h_};
  while (sent < data.size()) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::size_t>(65536, data.size() - sent));
    std::uint32_t n = 0;
    if (api_.WriteFile(h_, data.data() + sent, chunk, &n, &w_.ov)) {
      ASSERT_GT(n, 0u);
      sent += n;
      continue;
    }
    ASSERT_EQ(LastError(), kErrorIoPending);
    if (!wentPending) {
      // Only now does the device side start reading: the rest must be
      // finished by the back end when the line has room again.
      wentPending = true;
      // Counted as waiting to go out (the back end may already have moved
      // part of it when the line made some room).
      const std::uint32_t outQueue = Status().cbOutQue;
      EXPECT_GT(outQueue, 0u);
      EXPECT_LE(outQueue, chunk);
      EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
      EXPECT_EQ(LastError(), kErrorIoIncomplete);
      reader.thread = std::thread([&] { received = pty_.Receive(data.size(), 10s); });
    }
    const bool ok = api_.GetOverlappedResult(h_, &w_.ov, &n, true);
    ASSERT_TRUE(ok) << api_.ErrorText(LastError());
    EXPECT_EQ(n, chunk);  // an outstanding write ends when all its bytes are out
    sent += n;
  }
  reader.thread.join();
  EXPECT_TRUE(wentPending);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(PosixSerialApiTest, XoffHoldsAWriteUntilXon) {
  ASSERT_TRUE(api_.EscapeCommFunction(h_, kSetXoff));
  std::uint32_t n = 0;
  ASSERT_FALSE(api_.WriteFile(h_, "abc", 3, &n, &w_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_TRUE(pty_.Receive(3, 50ms).empty());

  ASSERT_TRUE(api_.EscapeCommFunction(h_, kSetXon));
  ASSERT_TRUE(w_.event.WaitFor(kMustHappenMs));
  ASSERT_TRUE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(pty_.Receive(3, 2s), (Bytes{'a', 'b', 'c'}));
}

TEST_F(PosixSerialApiTest, EscapeCommFunctionWithoutModemLinesSucceeds) {
  for (const std::uint32_t code :
       {kSetRts, kClrRts, kSetDtr, kClrDtr, kSetBreak, kClrBreak, kResetDev}) {
    EXPECT_TRUE(api_.EscapeCommFunction(h_, code)) << code << ": " << api_.ErrorText(LastError());
  }
  for (const std::uint32_t code : {0u, 10u, 42u}) {
    EXPECT_FALSE(api_.EscapeCommFunction(h_, code)) << code;
    EXPECT_EQ(LastError(), Errno(EINVAL));
  }
}

TEST_F(PosixSerialApiTest, PurgeRxClearEmptiesTheReceiveQueue) {
  pty_.Send("12345");
  ASSERT_EQ(WaitInQueue(5), 5u);
  ASSERT_TRUE(api_.PurgeComm(h_, kPurgeRxAbort | kPurgeRxClear));
  EXPECT_EQ(Status().cbInQue, 0u);
  EXPECT_TRUE(ReadAll().empty());

  pty_.Send("6");
  ASSERT_EQ(WaitInQueue(1), 1u);
  EXPECT_EQ(ReadAll(), Bytes{'6'});

  EXPECT_FALSE(api_.PurgeComm(h_, 0x10));
  EXPECT_EQ(LastError(), Errno(EINVAL));
}

TEST_F(PosixSerialApiTest, PurgeTxAbortEndsTheOutstandingWrite) {
  FillLine(w_, chunk_);
  ASSERT_EQ(w_.ov.LoadStatus(), kStatusPending);

  ASSERT_TRUE(api_.PurgeComm(h_, kPurgeTxAbort | kPurgeTxClear));
  EXPECT_TRUE(w_.event.IsSignaled());
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(LastError(), kErrorOperationAborted);
  EXPECT_LT(Status().cbOutQue, chunk_.size());

  // Writing goes on normally afterwards.
  pty_.Drain(20ms);
  ASSERT_TRUE(api_.WriteFile(h_, "ok", 2, &n, &w_.ov));
  EXPECT_EQ(pty_.Receive(2, 2s), (Bytes{'o', 'k'}));
}

TEST_F(PosixSerialApiTest, FullReceiveQueueDropsBytesAndFlagsOverrun) {
  ASSERT_TRUE(api_.SetupComm(h_, 16, 16));
  pty_.Send(std::string(20, 'x'));

  std::uint32_t seen = 0;
  TComStat s{};
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!(seen & kCeRxOver) && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t errors = 0;
    ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
    seen |= errors;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(seen, kCeRxOver);
  EXPECT_EQ(s.cbInQue, 16u);
  std::uint32_t errors = 0xFF;
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, 0u);  // reported once
  EXPECT_EQ(ReadAll(), Bytes(16, 'x'));
}

TEST_F(PosixSerialApiTest, ReceiveQueueKeepsOrderAcrossItsEnd) {
  ASSERT_TRUE(api_.SetupComm(h_, 16, 16));
  pty_.Send("0123456789");
  ASSERT_EQ(WaitInQueue(10), 10u);
  Bytes in(6);
  std::uint32_t n = 0;
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 6, &n, &r_.ov));
  EXPECT_EQ(in, (Bytes{'0', '1', '2', '3', '4', '5'}));
  pty_.Send("abcdefghij");
  ASSERT_EQ(WaitInQueue(14), 14u);
  // A new size keeps what is queued.
  ASSERT_TRUE(api_.SetupComm(h_, 8, 16));
  EXPECT_EQ(Status().cbInQue, 14u);
  const std::string expected = "6789abcdefghij";
  EXPECT_EQ(ReadAll(), Bytes(expected.begin(), expected.end()));
}

// ---- Events and requests ----------------------------------------------

TEST_F(PosixSerialApiTest, WaitCommEventReportsEachArrivalOnce) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_EQ(e_.ov.LoadStatus(), kStatusPending);
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);

  pty_.Send("12345");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_EQ(Status().cbInQue, 5u);

  // The bytes stay queued, and are not announced again.
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_FALSE(e_.event.WaitFor(200));
  EXPECT_EQ(Status().cbInQue, 5u);

  // New bytes are.
  pty_.Send("6");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_EQ(WaitInQueue(6), 6u);
}

TEST_F(PosixSerialApiTest, EventsWaitForTheNextRequest) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  pty_.Send("a");
  ASSERT_EQ(WaitInQueue(1), 1u);

  std::uint32_t mask = 0;
  ASSERT_TRUE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), 0u);

  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(LastError(), kErrorIoPending);
  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
}

TEST_F(PosixSerialApiTest, EventCharacterRaisesRxFlagOnly) {
  TDCB dcb = PortDcb();
  dcb.EvtChar = '\n';
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxFlag));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  pty_.Send("abc");  // characters, but the mask does not ask for them
  ASSERT_EQ(WaitInQueue(3), 3u);
  EXPECT_FALSE(e_.event.WaitFor(20));

  pty_.Send("d\n");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxFlag);
}

TEST_F(PosixSerialApiTest, SetCommMaskEndsAnOutstandingWaitWithNoEvents) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0xDEAD;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar));
  EXPECT_TRUE(e_.event.IsSignaled());
  std::uint32_t n = 0;
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, 0u);

  EXPECT_TRUE(api_.SetCommMask(h_, 0));
  EXPECT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));  // nothing to wait for
  EXPECT_EQ(LastError(), Errno(EINVAL));
}

TEST_F(PosixSerialApiTest, CancelIoExEndsTheOutstandingWait) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);

  Request second;
  std::uint32_t secondMask = 0;
  EXPECT_FALSE(api_.WaitCommEvent(h_, &secondMask, &second.ov));  // one wait at a time
  EXPECT_EQ(LastError(), Errno(EINVAL));

  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), kErrorOperationAborted);
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, true));
  EXPECT_EQ(LastError(), kErrorOperationAborted);
  EXPECT_TRUE(api_.CancelIoEx(h_, &e_.ov));  // already ended: still true

  // The next wait sees the next arrival.
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  pty_.Send("x");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
}

TEST_F(PosixSerialApiTest, IdlePortUsesNoProcessorTime) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(ProcessCpuMs() - before, 50.0);
  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
}

TEST_F(PosixSerialApiTest, ModemLineEventsOnALineWithoutModemLinesAreNoError) {
  // A pseudo-terminal has no modem lines: the mask is taken, nothing is
  // reported for them, and received characters still are.
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvCts | kEvDsr | kEvRlsd | kEvRing));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_FALSE(e_.event.WaitFor(100));
  pty_.Send("m");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
}

// ---- Hang-up, close, stale handles ---------------------------------------

TEST_F(PosixSerialApiTest, HangUpEndsRequestsAndLaterCallsFail) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  FillLine(w_, chunk_);
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  pty_.HangUp();
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  ASSERT_TRUE(w_.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, kEvErr);
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(LastError(), Errno(EIO));

  // The status still reads, and tells of the failure once.
  std::uint32_t errors = 0;
  TComStat s{};
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, PosixSerialApi::kCeIoError);
  EXPECT_EQ(s.cbInQue, 0u);
  EXPECT_EQ(s.cbOutQue, 0u);
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, 0u);

  std::uint8_t byte = 0;
  EXPECT_FALSE(api_.ReadFile(h_, &byte, 1, &n, &r_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_FALSE(api_.WriteFile(h_, "z", 1, &n, &r_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_TRUE(api_.EscapeCommFunction(h_, kResetDev));
  EXPECT_TRUE(api_.PurgeComm(h_, 15));

  // Nothing spins on the dead line.
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(ProcessCpuMs() - before, 50.0);
  Close();
}

TEST_F(PosixSerialApiTest, HangUpFailsAWaitThatDoesNotAskForErrors) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  pty_.HangUp();
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(LastError(), Errno(EIO));
  Close();
}

TEST_F(PosixSerialApiTest, CloseHandleAbortsOutstandingRequests) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  FillLine(w_, chunk_);
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  // A thread waiting for the write's result is released by the close.
  const THandle h = h_;
  std::atomic<bool> started{false};
  bool waited = true;
  std::uint32_t waitError = 0;
  JoinOnExit waiter;
  waiter.thread = std::thread([&] {
    started = true;
    std::uint32_t n = 0;
    waited = api_.GetOverlappedResult(h, &w_.ov, &n, true);
    waitError = api_.GetLastError();
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  Close();
  waiter.thread.join();
  EXPECT_FALSE(waited);
  EXPECT_EQ(waitError, kErrorOperationAborted);

  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), kErrorOperationAborted);
  EXPECT_TRUE(w_.event.IsSignaled());
  EXPECT_EQ(w_.ov.LoadStatus(), kErrorOperationAborted);
}

TEST_F(PosixSerialApiTest, StaleHandleReachesNothing) {
  const THandle old = h_;
  Close();
  TDCB dcb{};
  EXPECT_FALSE(api_.GetCommState(old, dcb));
  EXPECT_EQ(LastError(), Errno(EBADF));
  std::uint32_t errors = 0;
  EXPECT_FALSE(api_.ClearCommError(old, &errors, nullptr));
  EXPECT_EQ(LastError(), Errno(EBADF));
  EXPECT_FALSE(api_.CloseHandle(old));
  EXPECT_EQ(LastError(), Errno(EBADF));

  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle);
  EXPECT_NE(h_, old);
  pty_.Send("k");
  ASSERT_EQ(WaitInQueue(1), 1u);
  EXPECT_FALSE(api_.PurgeComm(old, kPurgeRxClear));
  EXPECT_EQ(LastError(), Errno(EBADF));
  EXPECT_EQ(Status().cbInQue, 1u);
  EXPECT_FALSE(api_.CloseHandle(kInvalidHandle));
}

// ---- Process-wide parts --------------------------------------------------

TEST(PosixSerialApi, ReportsANonNtVersionRecord) {
  PosixSerialApi api;
  TOSVersionInfo info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(api.GetVersionExA(info));
  EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
  EXPECT_EQ(info.dwPlatformId, kVerPlatformWin32Windows);
}

TEST(PosixSerialApi, ErrorTextsFitTheMessagePatterns) {
  PosixSerialApi api;
  EXPECT_EQ(api.ErrorText(kErrorFileNotFound), "No such file or directory");
  std::vector<std::string> texts;
  for (const std::uint32_t code :
       {kErrorOperationAborted, kErrorIoIncomplete, kErrorIoPending, Errno(EBUSY)}) {
    const std::string text = api.ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_GE(static_cast<unsigned char>(text.back()), '!') << code;
    texts.push_back(text);
  }
  EXPECT_NE(texts[0], texts[1]);
  EXPECT_NE(texts[1], texts[2]);
  EXPECT_NE(texts[0], texts[2]);
}

TEST(PosixSerialApi, LastErrorBelongsToTheCallingThread) {
  PosixSerialApi api;
  EXPECT_EQ(api.CreateFileA("/dev/comflash-no-such-device", kGenericReadWrite, 0, kOpenExisting,
                            kFileFlagOverlapped),
            kInvalidHandle);
  std::uint32_t other = 0;
  std::thread([&] {
    api.CloseHandle(12345);
    other = api.GetLastError();
  }).join();
  EXPECT_EQ(other, Errno(EBADF));
  EXPECT_EQ(api.GetLastError(), kErrorFileNotFound);
}

TEST(PosixSerialApi, PlatformBackEndIsOneTermiosInstance) {
  SerialApi& api = PlatformSerialApi();
  EXPECT_EQ(&api, &PlatformSerialApi());
  EXPECT_NE(dynamic_cast<PosixSerialApi*>(&api), nullptr);
}

}  // namespace
}  // namespace serial
