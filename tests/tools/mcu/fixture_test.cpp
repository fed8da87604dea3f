// comflash-mcu as a production fixture: a board taken off leaves the line
// silent, and the next one is the chip reset with its application flash
// erased, the bootloader kept, each board's flash in its own dump.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BackgroundProgram;
using Bytes = std::vector<std::uint8_t>;

const std::string kMcu = COMFLASH_BIN_DIR "/comflash-mcu";
constexpr std::size_t kFlashSize = 128 * 1024;
constexpr std::size_t kBootStart = 0x1F800;
constexpr std::size_t kBlock = 1024;
const Bytes kHandshake{0x33, 0x33};
const Bytes kHandshakeAck{0x55, 0x33, 0xAA};
const Bytes kBlockAck{0x55, 0x11, 0xAA};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Data(std::uint8_t seed) {
  Bytes data(kBlock);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
  return data;
}

Bytes Frame(std::uint8_t n, const Bytes& data) {
  Bytes frame(3 + data.size() + 1);
  frame[0] = 0x11;
  frame[1] = n;
  frame[2] = n;
  std::copy(data.begin(), data.end(), frame.begin() + 3);
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) check ^= frame[i];
  frame.back() = check;
  return frame;
}

Bytes BlockOf(const Bytes& flash, std::size_t n) {
  return Bytes(flash.begin() + static_cast<std::ptrdiff_t>(n * kBlock),
               flash.begin() + static_cast<std::ptrdiff_t>((n + 1) * kBlock));
}

// Intel HEX of a chip that holds an application besides the bootloader:
// `app` at block `app_block` and the bootloader's binary at the boot section.
std::string ChipImageHex(std::size_t app_block, const Bytes& app, const Bytes& loader) {
  std::string hex;
  const auto record = [&](std::uint8_t type, std::uint16_t address, const Bytes& data) {
    char buf[16];
    std::uint8_t sum = static_cast<std::uint8_t>(data.size() + (address >> 8) + address + type);
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address), static_cast<unsigned>(type));
    hex += buf;
    for (const auto b : data) {
      std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(b));
      hex += buf;
      sum = static_cast<std::uint8_t>(sum + b);
    }
    std::snprintf(buf, sizeof buf, "%02X\n",
                  static_cast<unsigned>(static_cast<std::uint8_t>(-sum)));
    hex += buf;
  };
  const auto place = [&](std::size_t base, const Bytes& data) {
    for (std::size_t i = 0; i < data.size(); i += 16) {
      const std::size_t at = base + i;
      record(0x04, 0, {static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16)});
      record(0x00, static_cast<std::uint16_t>(at),
             Bytes(data.begin() + static_cast<std::ptrdiff_t>(i),
                   data.begin() + static_cast<std::ptrdiff_t>(std::min(i + 16, data.size()))));
    }
  };
  place(app_block * kBlock, app);
  place(kBootStart, loader);
  record(0x01, 0, {});
  return hex;
}

// The host's end of the line: the slave side, raw, at 115200 baud.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");
  }
  ~HostPort() { ::close(fd_); }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;

  // One request and up to three bytes of answer within the time.
  Bytes Exchange(const Bytes& request, std::chrono::milliseconds limit) {
    ::tcflush(fd_, TCIOFLUSH);
    std::size_t done = 0;
    while (done < request.size()) {
      const ssize_t r = ::write(fd_, request.data() + done, request.size() - done);
      if (r < 0) throw std::runtime_error("write to the line");
      done += static_cast<std::size_t>(r);
    }
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (out.size() < 3) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[8];
      const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, 3 - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

 private:
  int fd_ = -1;
};

class McuFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!COMFLASH_MCU_BUILT)
      GTEST_SKIP() << "comflash-mcu is not built: libsimavr (libsimavr-dev) was not found";
    if (!COMFLASH_BOOTLOADER_BUILT)
      GTEST_SKIP() << "the bootloader is not built: the AVR toolchain (gcc-avr, avr-libc) was "
                      "not found";
  }

  std::string Start(std::vector<std::string> options) {
    std::vector<std::string> argv{kMcu, "--dump", Dump()};
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

  testsupport::TempDir dir_{"comflash-mcu-fixture"};
  std::unique_ptr<BackgroundProgram> chip_;
};

TEST_F(McuFixture, ASwapSilencesTheLineThenAResetChipWithErasedApplicationAnswers) {
  // The first board comes with an application in block 5.
  const Bytes loader = ReadFile(COMFLASH_BOOTLOADER_BIN);
  ASSERT_FALSE(loader.empty());
  const std::string firmware = dir_ / "chip.hex";
  std::ofstream(firmware) << ChipImageHex(5, Data(9), loader);
  const std::string path = Start({"--firmware", firmware, "--off-ms", "1000"});
  HostPort host(path);
  ASSERT_EQ(host.Exchange(kHandshake, 2500ms), kHandshakeAck);
  ASSERT_EQ(host.Exchange(Frame(3, Data(1)), 2500ms), kBlockAck);

  chip_->Signal(SIGUSR2);
  EXPECT_TRUE(host.Exchange(kHandshake, 400ms).empty()) << "an empty fixture says nothing";
  // Board 1 went with its flash in the dump.
  const Bytes board1 = ReadFile(Dump());
  ASSERT_EQ(board1.size(), kFlashSize);
  EXPECT_EQ(BlockOf(board1, 3), Data(1));
  EXPECT_EQ(BlockOf(board1, 5), Data(9));

  // The next board comes after the off time: the loader answers again.
  bool answered = false;
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  while (!answered && std::chrono::steady_clock::now() < give_up)
    answered = host.Exchange(kHandshake, 300ms) == kHandshakeAck;
  ASSERT_TRUE(answered) << "no new board came";
  ASSERT_EQ(host.Exchange(Frame(4, Data(2)), 2500ms), kBlockAck);

  chip_->Signal(SIGTERM);
  ASSERT_EQ(chip_->Wait(5s), std::optional<int>(0));
  EXPECT_EQ(ReadFile(Dump()), board1) << "board 1's dump stays as it was taken off";
  const Bytes board2 = ReadFile(Dump() + ".2");
  ASSERT_EQ(board2.size(), kFlashSize);
  Bytes expected(kBootStart, 0xFF);
  const Bytes written = Data(2);
  std::copy(written.begin(), written.end(), expected.begin() + 4 * kBlock);
  EXPECT_TRUE(Bytes(board2.begin(), board2.begin() + kBootStart) == expected)
      << "board 2's application flash is not erased but for the block written to it";
  EXPECT_TRUE(Bytes(board2.begin() + kBootStart, board2.end()) ==
              Bytes(board1.begin() + kBootStart, board1.end()))
      << "the bootloader was not kept";
  EXPECT_NE(Bytes(board2.begin() + kBootStart, board2.end()), Bytes(kFlashSize - kBootStart, 0xFF));
}

TEST_F(McuFixture, SwapsOnScheduleWithADumpPerBoard) {
  Start({"--swap-every", "300", "--off-ms", "100"});
  // Board 3 comes at about 0.8 s; its dump is written when it is taken off or at exit.
  std::this_thread::sleep_for(1000ms);
  chip_->Signal(SIGTERM);
  ASSERT_EQ(chip_->Wait(5s), std::optional<int>(0));
  for (const std::string& file : {Dump(), Dump() + ".2", Dump() + ".3"}) {
    const Bytes flash = ReadFile(file);
    ASSERT_EQ(flash.size(), kFlashSize) << file;
    EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + kBootStart) == Bytes(kBootStart, 0xFF))
        << file;
  }
}

}  // namespace

namespace {

TEST_F(McuFixture, FixtureOptionsTakeMillisecondsOnly) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--swap-every", "0"}, {"--swap-every", "2x"}, {"--off-ms", "-1"}, {"--off-ms", ""}}) {
    std::vector<std::string> argv{kMcu};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = testsupport::RunProgram(argv, 10s);
    EXPECT_EQ(r.status, 64) << args[0] << " " << args[1] << ": " << r.err;
    EXPECT_NE(r.err.find(args[0]), std::string::npos) << r.err;
  }
}

}  // namespace
