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
#include "tests/tools/mcu/McuLine.h"

using testsupport::RunProgram;

namespace {

using namespace mcutest;

const Bytes kRefusal{0x55, 0x00, 0xAA};

Bytes RandomData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  return data;
}

class Mcu : public mcutest::McuTest {
 protected:
  // Ends the chip with the signal (its flash is dumped) and returns the dump.
  Bytes StopAndDump(int sig = SIGTERM) {
    chip_->Signal(sig);
    const auto status = chip_->Wait(5s);
    EXPECT_EQ(status, std::optional<int>(0)) << "comflash-mcu did not end cleanly";
    return ReadFile(Dump());
  }
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
