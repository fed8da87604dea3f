// comflash-cli against the simulated device.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "app/core/HexLoader.h"
#include "app/core/UploadSession.h"
#include "framework/Clock.h"
#include "tests/support/RecordingApplication.h"
#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class Cli : public CliFixture {};

struct LogLines : comflash::UploadObserver {
  std::vector<std::string> lines;
  void RunStarted() override {}
  void RunEnded() override {}
  void LogLine(const std::string& line) override { lines.push_back(line); }
  void BlockAttempted(const comflash::BlockAttempt&) override {}
};

}  // namespace

TEST_F(Cli, AFullUploadExitsZeroWithTheWindowsLogLines) {
  const auto port = StartDevice();
  const auto r = Flash({"-p", port, "-q", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out), FullUploadLog());
  EXPECT_TRUE(HoldsTheImage());
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

TEST_F(Cli, TheDeviceDroppingTheLineEndsTheRunWithAPortError) {
  const auto port = StartDevice({"--drop-after", "10"});
  const auto t0 = std::chrono::steady_clock::now();
  const auto r = Flash({"-p", port, "-q", hex_});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("went away during block 11"), std::string::npos) << r.err;
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

TEST_F(Cli, NoiseWaitingOnTheLineBeforeThePortOpensIsPurged) {
  const auto port = StartDevice({"--noise", "300"});
  const auto r = Flash({"-p", port, "-q", hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SplitLines(r.out).front(), "85 51 170");
}

// The flasher opens, resets and purges, then runs at once, so nothing can
// arrive between its own purge and the run's; the same session on the same
// line is driven here with the noise sent in that gap, which only the run's
// drain and purge can take.
TEST_F(Cli, NoiseArrivingAfterThePortIsOpenIsDrainedAndPurgedByTheRun) {
  const auto port = StartDevice({"--noise", "300"});
  testsupport::RecordingApplication app;
  LogLines log;
  comflash::UploadSession session(log, [&] { app.ProcessMessages(); });
  static comflash::FirmwareImageBytes image{};
  comflash::LoadHexFile(hex_, image);
  session.OpenPort(port);
  session.ResetAndPurge();
  ASSERT_EQ(session.Port().InQueueCount(), 0) << "the noise at start was not purged";
  devices_.back()->Program().Signal(SIGUSR1);
  const framework::Deadline deadline(5000ms);
  while (session.Port().InQueueCount() < 300 && !deadline.Passed())
    std::this_thread::sleep_for(1ms);
  ASSERT_GE(session.Port().InQueueCount(), 300) << "the noise did not arrive";
  EXPECT_EQ(session.Run(image), comflash::UploadOutcome::Completed);
  session.Port().Close();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines.front(), "85 51 170");
  EXPECT_EQ(WithoutFailedTries(log.lines), FullUploadLog());
  EXPECT_TRUE(HoldsTheImage());
}
