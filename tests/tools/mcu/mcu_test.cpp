// The bootloader on the simulated ATmega128, reached through comflash-mcu's
// pseudo-terminal: by comflash-cli, and byte by byte from the test.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/SampleImage.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using testsupport::BackgroundProgram;
using testsupport::RunProgram;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kBin = COMFLASH_BIN_DIR;
constexpr std::size_t kFlashSize = 128 * 1024;
constexpr std::size_t kBootStart = 0x1F800;
constexpr std::size_t kBlock = 1024;
const Bytes kHandshakeAck{0x55, 0x33, 0xAA};
const Bytes kBlockAck{0x55, 0x11, 0xAA};
const Bytes kRefusal{0x55, 0x00, 0xAA};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes RandomData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  return data;
}

// 0x11 N N, the data and the XOR of the 1027 bytes before it (plus `spoil`).
Bytes Frame(std::uint8_t n, const Bytes& data, std::uint8_t spoil = 0, int second_n = -1) {
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

class Mcu : public ::testing::Test {
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
  // Ends the chip with the signal (its flash is dumped) and returns the dump.
  Bytes StopAndDump(int sig = SIGTERM) {
    chip_->Signal(sig);
    const auto status = chip_->Wait(5s);
    EXPECT_EQ(status, std::optional<int>(0)) << "comflash-mcu did not end cleanly";
    return ReadFile(Dump());
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

}  // namespace

TEST_F(Mcu, AWholeUploadByTheCommandLineToolLandsInFlashNoFasterThanTheLine) {
  const testsupport::SampleImage sample(dir_, 11);
  const Bytes image(sample.Bytes().begin(), sample.Bytes().end());
  const std::string& hex = sample.Hex();

  testsupport::ScopedPortMap ports;
  Start({"--as", "COM3"});
  const auto begin = std::chrono::steady_clock::now();
  const auto r = RunProgram({kBin + "/comflash-cli", "-p", "COM3", "-q", hex}, 60s);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // 123 frames of 1028 bytes and their 3-byte answers, 10 bits a byte.
  const double line_seconds = 123.0 * (1028 + 3) * 10 / 115200;
  EXPECT_GE(took.count(), line_seconds) << "the line ran faster than 115200 baud";

  const Bytes flash = StopAndDump(SIGINT);
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(Bytes(flash.begin() + 3 * kBlock, flash.begin() + kBootStart) == image)
      << "the flash does not hold the image";
  EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + 3 * kBlock) == Bytes(3 * kBlock, 0xFF))
      << "blocks 0 to 2 were written";
  ExpectBootSectionIsTheBootloader(flash);
}

TEST_F(Mcu, AFrameWithAWrongCheckByteIsRefusedAndItsRetryIsWritten) {
  HostPort host(Start());
  ASSERT_EQ(host.Exchange({0x33, 0x33}, 2500ms), kHandshakeAck);
  const Bytes seven = RandomData(kBlock, 7);
  const Bytes eight = RandomData(kBlock, 8);
  EXPECT_EQ(host.Exchange(Frame(7, seven, 0x01)), kRefusal);
  EXPECT_EQ(host.Exchange(Frame(7, seven)), kBlockAck) << "the retry was not accepted";
  EXPECT_EQ(host.Exchange(Frame(8, eight, 0x80)), kRefusal);

  const Bytes flash = StopAndDump();
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(BlockOf(flash, 7) == seven);
  EXPECT_TRUE(BlockOf(flash, 8) == Bytes(kBlock, 0xFF)) << "a refused frame was written";
}

TEST_F(Mcu, BlockNumbersOutside3To125OrNotRepeatedAreRefusedAndWriteNothing) {
  HostPort host(Start());
  const Bytes data = RandomData(kBlock, 1);
  for (const int n : {0, 2, 126, 127, 255}) {
    EXPECT_EQ(host.Exchange(Frame(static_cast<std::uint8_t>(n), data)), kRefusal) << "block " << n;
  }
  EXPECT_EQ(host.Exchange(Frame(5, data, 0, 6)), kRefusal) << "N 5 then 6";
  // The edges of the range are taken.
  EXPECT_EQ(host.Exchange(Frame(3, data)), kBlockAck);
  EXPECT_EQ(host.Exchange(Frame(125, data)), kBlockAck);

  const Bytes flash = StopAndDump();
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + 3 * kBlock) == Bytes(3 * kBlock, 0xFF));
  EXPECT_TRUE(BlockOf(flash, 3) == data);
  EXPECT_TRUE(BlockOf(flash, 5) == Bytes(kBlock, 0xFF));
  EXPECT_TRUE(BlockOf(flash, 6) == Bytes(kBlock, 0xFF));
  EXPECT_TRUE(BlockOf(flash, 125) == data);
  ExpectBootSectionIsTheBootloader(flash);
}

TEST_F(Mcu, AHostAtAWrongBaudRateFailsTheHandshakeAndTheChipAnswersOnceTheRateIsRight) {
  HostPort host(Start());
  for (const speed_t wrong : {B9600, B57600, B230400}) {
    host.SetBaud(wrong);
    const Bytes reply = host.Exchange({0x33, 0x33}, 1000ms);
    EXPECT_NE(reply, kHandshakeAck) << "a handshake came through at the wrong rate";
  }
  host.SetBaud(B115200);
  EXPECT_EQ(host.Exchange({0x33, 0x33}, 2500ms), kHandshakeAck) << "the chip stalled";
  const Bytes data = RandomData(kBlock, 4);
  EXPECT_EQ(host.Exchange(Frame(4, data)), kBlockAck);
  const Bytes flash = StopAndDump();
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(BlockOf(flash, 4) == data);
}

TEST_F(Mcu, ARequestCutShortGetsNoAnswerAndTheNextOneIsServed) {
  HostPort host(Start());
  const Bytes data = RandomData(kBlock, 9);
  Bytes half = Frame(9, data);
  half.resize(500);
  EXPECT_TRUE(host.Exchange(half, 300ms).empty());
  EXPECT_TRUE(host.Exchange({0x33}, 300ms).empty());
  EXPECT_EQ(host.Exchange({0x33, 0x33}, 2500ms), kHandshakeAck);
  // A lone handshake byte before a request is refused, and the request served.
  EXPECT_EQ(host.Exchange({0x33, 0x11}, 300ms), kRefusal);
  const Bytes frame = Frame(9, data);
  host.Send(Bytes(frame.begin() + 1, frame.end()));
  EXPECT_EQ(host.Receive(3, 5000ms), kBlockAck);
  const Bytes flash = StopAndDump();
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(BlockOf(flash, 9) == data);
}

TEST_F(Mcu, AnAnswerComesNoSoonerThanTheRequestAndAnswerTakeOnTheLine) {
  HostPort host(Start());
  const auto time = [&](const Bytes& request, const Bytes& expected) {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Exchange(request), expected);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  };
  EXPECT_GE(time({0x33, 0x33}, kHandshakeAck), 5 * 10 / 115200.0);
  EXPECT_GE(time(Frame(10, RandomData(kBlock, 10)), kBlockAck), 1031 * 10 / 115200.0);
  EXPECT_GE(time(Frame(10, RandomData(kBlock, 10), 1), kRefusal), 1031 * 10 / 115200.0);
  StopAndDump();
}

TEST_F(Mcu, UsageErrorsAndAMissingFirmwareEndTheProgramWithAReason) {
  const auto bad = RunProgram({kBin + "/comflash-mcu", "--as", "LPT1"}, 10s);
  EXPECT_EQ(bad.status, 64);
  EXPECT_NE(bad.err.find("--as takes a name like COM3"), std::string::npos) << bad.err;
  const auto missing =
      RunProgram({kBin + "/comflash-mcu", "--firmware", dir_ / "no-such.elf"}, 10s);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no-such.elf"), std::string::npos) << missing.err;
  EXPECT_TRUE(missing.out.empty()) << "a path was printed for a chip that did not start";
  const auto unknown = RunProgram({kBin + "/comflash-mcu", "--baud", "9600"}, 10s);
  EXPECT_EQ(unknown.status, 64);
  EXPECT_NE(unknown.err.find("Try 'comflash-mcu --help'"), std::string::npos) << unknown.err;
}

// --help in the form of the other programs: the parser's usage line and
// option list between the description and the exit statuses.
TEST_F(Mcu, HelpListsTheOptionsAsTheOtherProgramsDo) {
  const auto help = RunProgram({kBin + "/comflash-mcu", "--help"}, 10s);
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"Usage: comflash-mcu [OPTIONS]", "--firmware FILE", "--as COMn",
                           "--dump FILE", "Exit status: 0 when ended by a signal"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part << " in\n" << help.out;
  EXPECT_TRUE(help.err.empty()) << help.err;
}
