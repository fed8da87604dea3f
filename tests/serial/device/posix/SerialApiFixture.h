// The termios back end driven directly on real pseudo-terminals: the test
// holds the master side (the device), the back end opens the slave. Shared
// by the tests in this folder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/posix/PosixSerialApi.h"
#include "tests/support/Pty.h"

namespace serial::posixtest {

using namespace std::chrono_literals;
using testsupport::Pty;
using testsupport::ScopedPortMap;
using Bytes = std::vector<std::uint8_t>;

// Bound for things that must happen (milliseconds); they normally take far less.
constexpr std::uint32_t kMustHappenMs = 2000;

inline std::uint32_t Errno(int e) {
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

inline Bytes AllByteValues() {
  Bytes v(256);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

// The line settings as the kernel holds them.
inline termios LineSettings(const std::string& path) {
  termios t{};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd >= 0) {
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
  }
  return t;
}

inline double ProcessCpuMs() {
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
        // The driver may still move bytes on and finish the request; the
        // line is full once a request stays outstanding.
        if (!r.event.WaitFor(50)) return;
        continue;
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

}  // namespace serial::posixtest
