// What the comflash-mcu tests share: the chip started beside the test with
// its flash dumped, and the host's end of its line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace mcutest {

using namespace std::chrono_literals;
using testsupport::BackgroundProgram;
using Bytes = std::vector<std::uint8_t>;

inline const std::string kBin = COMFLASH_BIN_DIR;
inline constexpr std::size_t kFlashSize = 128 * 1024;
inline constexpr std::size_t kBootStart = 0x1F800;
inline constexpr std::size_t kBlock = 1024;
inline const Bytes kHandshakeAck{0x55, 0x33, 0xAA};
inline const Bytes kBlockAck{0x55, 0x11, 0xAA};

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// 0x11 N N, the data and the XOR of the 1027 bytes before it (plus `spoil`).
inline Bytes Frame(std::uint8_t n, const Bytes& data, std::uint8_t spoil = 0, int second_n = -1) {
  Bytes frame(3 + data.size() + 1);
  frame[0] = 0x11;
  frame[1] = n;
  frame[2] = static_cast<std::uint8_t>(second_n < 0 ? n : second_n);
  std::copy(data.begin(), data.end(), frame.begin() + 3);
  frame.pop_back();
  std::uint8_t check = 0;
  for (const auto b : frame) check ^= b;
  frame.push_back(check ^ spoil);
  return frame;
}

// The host's end of the line: the slave side, raw, at a chosen rate.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    SetBaud(B115200);
  }
  ~HostPort() { ::close(fd_); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;

  void SetBaud(speed_t speed) {
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, speed);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");
    ::tcflush(fd_, TCIOFLUSH);
  }
  void Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t r = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (r < 0) throw std::runtime_error("write to the line");
      done += static_cast<std::size_t>(r);
    }
  }
  // Up to n bytes, as many as come before the timeout.
  Bytes Receive(std::size_t n, std::chrono::milliseconds timeout) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[64];
      const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  // One request and its three-byte answer, within the host's time limit.
  Bytes Exchange(const Bytes& request, std::chrono::milliseconds limit = 5000ms) {
    ::tcflush(fd_, TCIOFLUSH);
    Send(request);
    return Receive(3, limit);
  }

 private:
  int fd_ = -1;
};

class McuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!COMFLASH_MCU_BUILT)
      GTEST_SKIP() << "comflash-mcu is not built: libsimavr (libsimavr-dev) was not found";
    if (!COMFLASH_BOOTLOADER_BUILT)
      GTEST_SKIP() << "the bootloader is not built: the AVR toolchain (gcc-avr, avr-libc) was "
                      "not found";
  }

  std::string Start(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{kBin + "/comflash-mcu", "--dump", Dump()};
    argv.insert(argv.end(), options.begin(), options.end());
    chip_ = std::make_unique<BackgroundProgram>(argv);
    const auto path = chip_->ReadLine();
    if (!path || path->empty()) {
      ADD_FAILURE() << "comflash-mcu did not start";
      return "/nonexistent";
    }
    return *path;
  }
  std::string Dump() const { return dir_ / "flash.bin"; }

  // The boot section holds the bootloader and erased flash after it.
  static void ExpectBootSectionIsTheBootloader(const Bytes& flash) {
    const Bytes loader = ReadFile(COMFLASH_BOOTLOADER_BIN);
    ASSERT_FALSE(loader.empty());
    ASSERT_LE(loader.size(), kFlashSize - kBootStart) << "the bootloader is over 2 KiB";
    Bytes expected(kFlashSize - kBootStart, 0xFF);
    std::copy(loader.begin(), loader.end(), expected.begin());
    EXPECT_TRUE(Bytes(flash.begin() + kBootStart, flash.end()) == expected)
        << "the boot section changed";
  }
  static Bytes BlockOf(const Bytes& flash, std::size_t n) {
    return Bytes(flash.begin() + n * kBlock, flash.begin() + (n + 1) * kBlock);
  }

  testsupport::TempDir dir_{"comflash-mcu"};
  std::unique_ptr<BackgroundProgram> chip_;
};

}  // namespace mcutest
