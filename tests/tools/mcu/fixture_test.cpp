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
#include "tests/tools/mcu/McuLine.h"

namespace {

using namespace mcutest;

const Bytes kHandshake{0x33, 0x33};

Bytes Data(std::uint8_t seed) {
  Bytes data(kBlock);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
  return data;
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

class McuFixture : public mcutest::McuTest {};

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
    std::vector<std::string> argv{kBin + "/comflash-mcu"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = testsupport::RunProgram(argv, 10s);
    EXPECT_EQ(r.status, 64) << args[0] << " " << args[1] << ": " << r.err;
    EXPECT_NE(r.err.find(args[0]), std::string::npos) << r.err;
  }
}

}  // namespace
