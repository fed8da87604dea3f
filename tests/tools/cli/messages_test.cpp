// comflash-cli's words where they used to mislead: retries counted right,
// names that are no port and two names of one port, a log that would land
// in the HEX file, and interruptions during the handshake and the reply wait.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliMessages : public CliFixture {};

TEST_F(CliMessages, RetriesCountTheTriesAfterEachBlocksFirst) {
  // Block 7 needs three tries (2 retries), block 9 fails all six (5 retries).
  const auto port = StartDevice({"--refuse", "7:2", "--refuse", "9:6"});
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(Contains(r.err,
                       "summary: block 9 failed six times, 6 of 123 blocks written, 7 "
                       "retries"))
      << r.err;
}

TEST_F(CliMessages, SixFailedTriesSayWhatEachMet) {
  // Block 9's first try is answered only after the wait, the next five are
  // refused: 55 EE AA.
  const auto port = StartDevice({"--late-ack", "9:5200", "--refuse", "9:6"});
  const auto r = Flash({"-p", port, hex_});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(Contains(r.err, "comflash-cli: block 9 failed all six tries: ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "refused (55 EE AA)")) << r.err;
  EXPECT_TRUE(Contains(r.err, "progress: block 9 try 6 of 6 failed ")) << r.err;
  EXPECT_FALSE(Contains(r.err, "refused six times")) << r.err;
}

TEST_F(CliMessages, NamesThatAreNoComPortAreUsageErrorsNamingTheValidForms) {
  for (const std::string bad : {"COM0", "COM 3", "COM-1", "com03", "COM3a", "COM"}) {
    const auto r = Flash({"-p", bad, hex_});
    EXPECT_EQ(r.status, 64) << bad << ": " << r.err;
    EXPECT_TRUE(Contains(r.err, "comflash-cli: '" + bad + "' is no port name: use COMn")) << r.err;
  }
}

TEST_F(CliMessages, OnePortUnderTwoNamesIsAUsageError) {
  const auto a = Flash({"-p", "COM3", "-p", "com3", hex_});
  EXPECT_EQ(a.status, 64) << a.err;
  EXPECT_TRUE(Contains(a.err, "ports COM3 and com3 are the same port")) << a.err;

  const auto path = StartDevice();
  const std::string env = "COMFLASH_PORTS=" + std::string(dir_ / "ports");
  testsupport::BackgroundProgram mapped(
      {"/usr/bin/env", env, kBin + "/comflash-sim", "--as", "COM7"});
  const std::string target = mapped.ReadLine().value_or("");
  ASSERT_FALSE(target.empty());
  const auto b = FlashWithEnv({env}, {"-p", "COM7," + target, hex_});
  EXPECT_EQ(b.status, 64) << b.err;
  EXPECT_TRUE(Contains(b.err, "ports COM7 and " + target + " are the same port")) << b.err;
  (void)path;
}

TEST_F(CliMessages, ALogNamingTheHexFileIsRefusedAndTheFileKept) {
  const std::string before = ReadFile(hex_);
  const auto r = Flash({"-q", "--log", hex_, "-p", "/dev/comflash-no-such-port", hex_});
  EXPECT_EQ(r.status, 64) << r.err;
  EXPECT_TRUE(Contains(r.err, "--log names the HEX file")) << r.err;
  EXPECT_EQ(ReadFile(hex_), before);
}

TEST_F(CliMessages, CtrlCDuringTheHandshakeGivesNoSilenceHint) {
  const auto port = StartDevice({"--handshake", "silent"});
  const std::string errFile = dir_ / "err.txt";
  auto cli = StartFlash({"-q", "-p", port, hex_}, errFile);
  ASSERT_TRUE(devices_[0]->Program().WaitForLine("HANDSHAKE", 10s));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 130);
  const std::string err = ReadFile(errFile);
  EXPECT_TRUE(Contains(err, "interrupted before block 3")) << err;
  EXPECT_FALSE(Contains(err, "nothing was received")) << err;
}

TEST_F(CliMessages, ASecondCtrlCEndsTheRunAtOnceAndFreesTheLine) {
  // Block 10's answer comes after 5.2 s: the first Ctrl-C would wait it out.
  const auto port = StartDevice({"--late-ack", "10"});
  const std::string errFile = dir_ / "err.txt";
  auto cli = StartFlash({"-q", "-p", port, hex_}, errFile);
  ASSERT_TRUE(cli->WaitForLine("Блок: N9 успешно записан.", 20s));
  std::this_thread::sleep_for(100ms);
  cli->Signal(SIGINT);
  std::this_thread::sleep_for(500ms);
  const auto t0 = std::chrono::steady_clock::now();
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(5s), 130);
  // Waiting the answer out would take 4 s more; the bound leaves room for a
  // slow (sanitized, loaded) process to end.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_TRUE(Contains(ReadFile(errFile), "interrupted again: ending at once"))
      << ReadFile(errFile);

  // The line opens at once (the late answer still to come may spoil this
  // run's handshake: the device's doing, not the line's).
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_NE(r.status, 3) << r.err;
  EXPECT_FALSE(Contains(r.err, "busy")) << r.err;
}

TEST_F(CliMessages, AHangUpSaysTheDeviceWentAwayDuringItsBlockOnceWithItsPort) {
  const auto port = StartDevice({"--drop-after", "10"});
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(
      Contains(r.err, "comflash-cli: the device on " + port + " went away during block 11 ("))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "): 8 blocks were written, the device holds an incomplete image"))
      << r.err;

  // With several ports every line of standard error carries its port.
  const auto a = StartDevice({"--drop-after", "10"});
  const auto b = StartDevice();
  const auto m = Flash({"-q", "-p", a + "," + b, hex_});
  EXPECT_EQ(m.status, 3) << m.err;
  for (const auto& line : SplitLines(m.err)) {
    const bool ofAPort = line.rfind("comflash-cli: " + a + ": ", 0) == 0 ||
                         line.rfind("comflash-cli: " + b + ": ", 0) == 0 ||
                         line.rfind("comflash-cli: summary: ", 0) == 0;
    EXPECT_TRUE(ofAPort) << line;
  }
}

}  // namespace
