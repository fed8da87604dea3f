// comflash-cli against the simulated device.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using testsupport::RunProgram;

namespace {

const std::string kBin = COMFLASH_BIN_DIR;

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Cli : public ::testing::Test {
 protected:
  // Starts the simulated device with extra options; returns its pty path.
  std::string StartDevice(std::vector<std::string> options = {}) {
    device_ = std::make_unique<testsupport::SimulatedDevice>(Dump(), std::move(options));
    EXPECT_FALSE(device_->Path().empty()) << "the simulator did not start";
    return device_->Path();
  }
  std::string Dump() const { return dir_ / "device.bin"; }
  testsupport::RunResult Flash(std::vector<std::string> args) {
    args.insert(args.begin(), kBin + "/comflash-cli");
    return RunProgram(args, 60s);
  }

  testsupport::TempDir dir_{"comflash-cli"};
  testsupport::SampleImage sample_{dir_, 3};
  const std::string& image_ = sample_.Bytes();
  const std::string& hex_ = sample_.Hex();
  std::unique_ptr<testsupport::SimulatedDevice> device_;
};

}  // namespace

TEST_F(Cli, AFullUploadExitsZeroWithTheWindowsLogLines) {
  const auto port = StartDevice();
  const auto r = Flash({"-p", port, "-q", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected{"85 51 170", "Устройство готово!"};
  for (int n = 3; n <= 125; ++n)
    expected.push_back("Блок: N" + std::to_string(n) + " успешно записан.");
  expected.push_back("Процесс прошивки закончен, брат!");
  EXPECT_EQ(SplitLines(r.out), expected);
  device_->Program().Stop();
  const std::string memory = ReadFile(Dump());
  ASSERT_EQ(memory.size(), 131072u);
  EXPECT_EQ(memory.substr(0x0C00, image_.size()), image_);
  EXPECT_EQ(memory.substr(0, 0x0C00), std::string(0x0C00, '\0')) << "nothing below block 3";
  EXPECT_EQ(memory.substr(0x1F800), std::string(0x800, '\0')) << "nothing above block 125";
}

TEST_F(Cli, VerboseListsTheRecordsFirstAndProgressGoesToStandardError) {
  const auto port = StartDevice();
  const auto r = Flash({"-p", port, "-v", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = SplitLines(r.out);
  ASSERT_GT(lines.size(), 126u);
  EXPECT_EQ(lines[0].substr(0, 8), "0C00 -> ");
  EXPECT_NE(r.err.find("progress: 123/123 blocks"), std::string::npos) << r.err;
}

TEST_F(Cli, ARefusedHandshakeExitsOne) {
  const auto port = StartDevice({"--handshake", "reversed"});
  const auto r = Flash({"-p", port, "-q", hex_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"170 51 85", "Устройство не готово!"}));
}

TEST_F(Cli, ABlockRefusedSixTimesExitsTwo) {
  const auto port = StartDevice({"--refuse", "7:6"});
  const auto r = Flash({"-p", port, "-q", hex_});
  EXPECT_EQ(r.status, 2);
  const auto lines = SplitLines(r.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Ошибка записи!!!");
  EXPECT_EQ(lines.back(), "Процесс прошивки закончен, брат!");
}

TEST_F(Cli, AMissingPortExitsThreeAndNamesIt) {
  const auto r = Flash({"-p", "/dev/comflash-no-such-port", hex_});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("/dev/comflash-no-such-port"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST_F(Cli, AMalformedFileExitsFourWithFileAndLine) {
  const std::string bad = dir_ / "bad.hex";
  std::ofstream(bad) << ":020000021000EC\n:10000000000102030405060708090A0B0C0D0E0F00\n";
  const auto r = Flash({"-p", "/dev/null", bad});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find(bad + ":2:"), std::string::npos) << r.err;
  EXPECT_EQ(Flash({"/nonexistent/file.hex"}).status, 4);
}

TEST_F(Cli, UsageErrorsExit64) {
  EXPECT_EQ(Flash({}).status, 64);
  EXPECT_EQ(Flash({"--bogus", hex_}).status, 64);
  EXPECT_EQ(Flash({hex_, hex_}).status, 64);
  EXPECT_EQ(Flash({"-p"}).status, 64);
  const auto help = Flash({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("exit status"), std::string::npos);
  EXPECT_EQ(Flash({"--version"}).status, 0);
}

TEST_F(Cli, TheDeviceDroppingTheLineEndsTheRunWithAPortError) {
  const auto port = StartDevice({"--drop-after", "10"});
  const auto t0 = std::chrono::steady_clock::now();
  const auto r = Flash({"-p", port, "-q", hex_});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("failed during the upload"), std::string::npos) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 20s) << "nothing hangs";
}

TEST_F(Cli, ALateAcknowledgementFailsThatTryAndTheRetrySucceeds) {
  const auto port = StartDevice({"--late-ack", "4:5200"});
  const auto r = Flash({"-p", port, "-q", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = SplitLines(r.out);
  ASSERT_EQ(lines.size(), 127u);
  EXPECT_EQ(lines[3], "Ошибка записи - Блок: N4");
  EXPECT_EQ(lines[4], "Блок: N4 успешно записан.");
  EXPECT_EQ(lines[5], "Блок: N5 успешно записан.");
}

TEST_F(Cli, NoiseOnTheLineBeforeTheRunIsDrainedAndPurged) {
  const auto port = StartDevice({"--noise", "300"});
  const auto r = Flash({"-p", port, "-q", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out).front(), "85 51 170");
}
