// comflash-cli interrupted mid-upload: by a signal or a closed output pipe it
// stops before its next block, says where, and leaves the port free.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

// Fast enough for a short test, slow enough (about 9 ms a block) to be
// interrupted in the middle.
const std::vector<std::string> kPaced{"--baud", "1000000"};

class CliInterrupt : public CliFixture {
 protected:
  struct Stopped {
    int status = -1;
    std::vector<std::string> out;
    std::string err;
    std::chrono::steady_clock::duration stopping{};
  };

  // Starts an upload to port, sends sig once the log shows lastLine, and
  // waits for the flasher to end.
  Stopped InterruptAfter(const std::string& port, const std::string& lastLine, int sig) {
    const std::string errFile = dir_ / "err.txt";
    auto cli = StartFlash({"-q", "-p", port, hex_}, errFile);
    Stopped s;
    while (const auto line = cli->ReadLine(20s)) {
      s.out.push_back(*line);
      if (*line == lastLine) break;
    }
    EXPECT_FALSE(s.out.empty() || s.out.back() != lastLine) << "the upload did not get there";
    cli->Signal(sig);
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& line : cli->Lines(20s)) s.out.push_back(line);
    s.stopping = std::chrono::steady_clock::now() - t0;
    s.status = cli->Wait(5s).value_or(-1);
    s.err = ReadFile(errFile);
    return s;
  }

  // The block named by "interrupted at block N of 3..125: ...", or 0.
  static int InterruptedBlock(const std::string& err) {
    std::smatch m;
    const std::regex re(
        "interrupted at block ([0-9]+) of 3\\.\\.125: the device holds an "
        "incomplete image");
    return std::regex_search(err, m, re) ? std::stoi(m[1]) : 0;
  }

  // The next run on the same port goes through at once.
  void ExpectTheNextRunSucceeds(const std::string& port) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = Flash({"-q", "-p", port, hex_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "busy")) << r.err;
    EXPECT_EQ(WithoutFailedTries(SplitLines(r.out)), FullUploadLog());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
    EXPECT_TRUE(HoldsTheImage());
  }

  void CheckStoppedAtASafePoint(const Stopped& s, int expectedStatus) {
    EXPECT_EQ(s.status, expectedStatus) << s.err;
    const int n = InterruptedBlock(s.err);
    ASSERT_GE(n, 11) << s.err;
    ASSERT_LE(n, 125) << s.err;
    // The log ends with the block before it, or a failed try of this one:
    // nothing after the interruption.
    const std::string last = WithoutFailedTries(s.out).back();
    EXPECT_EQ(last, "Блок: N" + std::to_string(n - 1) + " успешно записан.");
    EXPECT_TRUE(s.out.back() == last ||
                s.out.back() == "Ошибка записи - Блок: N" + std::to_string(n))
        << s.out.back();
    EXPECT_TRUE(Contains(s.err, "summary: interrupted at block " + std::to_string(n) + ", " +
                                    std::to_string(n - 3) + " of 123 blocks written"))
        << s.err;
    EXPECT_LT(s.stopping, 3s) << "it stops before the next block";
  }
};

TEST_F(CliInterrupt, SigintStopsBeforeTheNextBlockExits130AndFreesThePort) {
  const auto port = StartDevice(kPaced);
  const auto s = InterruptAfter(port, "Блок: N10 успешно записан.", SIGINT);
  CheckStoppedAtASafePoint(s, 130);
  ExpectTheNextRunSucceeds(port);
}

TEST_F(CliInterrupt, SigtermExits143AndFreesThePort) {
  const auto port = StartDevice(kPaced);
  const auto s = InterruptAfter(port, "Блок: N10 успешно записан.", SIGTERM);
  CheckStoppedAtASafePoint(s, 143);
  ExpectTheNextRunSucceeds(port);
}

TEST_F(CliInterrupt, SighupExits129AndFreesThePort) {
  const auto port = StartDevice(kPaced);
  const auto s = InterruptAfter(port, "Блок: N10 успешно записан.", SIGHUP);
  CheckStoppedAtASafePoint(s, 129);
  ExpectTheNextRunSucceeds(port);
}

TEST_F(CliInterrupt, BeforeTheFirstBlockNothingIsWritten) {
  // A silent device keeps the flasher in its 2.5 s handshake wait.
  const auto port = StartDevice({"--handshake", "silent"});
  const std::string errFile = dir_ / "err.txt";
  auto cli = StartFlash({"-q", "-p", port, hex_}, errFile);
  ASSERT_TRUE(devices_[0]->Program().WaitForLine("HANDSHAKE", 10s));
  cli->Signal(SIGINT);
  const auto out = cli->Lines(20s);
  EXPECT_EQ(cli->Wait(5s), 130);
  const std::string err = ReadFile(errFile);
  EXPECT_TRUE(Contains(err,
                       "interrupted before block 3 of 3..125: nothing was written to the "
                       "device"))
      << err;
  EXPECT_EQ(out, (std::vector<std::string>{"0 0 0", "Устройство не готово!"}));
}

TEST_F(CliInterrupt, AClosedOutputPipeStopsTheRunWithThePipesStatus) {
  const auto port = StartDevice(kPaced);
  const std::string errFile = dir_ / "err.txt";
  const std::string script = "\"$0\" -q -p \"$1\" \"$2\" 2>\"$3\" | head -1; exit ${PIPESTATUS[0]}";
  const auto r = testsupport::RunProgram({"/bin/bash", "-c", script, kCli, port, hex_, errFile});
  EXPECT_EQ(r.status, 141);
  EXPECT_EQ(r.out, "85 51 170\n");
  const std::string err = ReadFile(errFile);
  const bool said = InterruptedBlock(err) > 0 || Contains(err, "interrupted before block 3");
  EXPECT_TRUE(said) << err;
  EXPECT_TRUE(Contains(err, "summary: interrupted")) << err;
  ExpectTheNextRunSucceeds(port);
}

TEST_F(CliInterrupt, AnInterruptedMultiPortRunStopsEveryPort) {
  const auto a = StartDevice(kPaced);
  const auto b = StartDevice(kPaced);
  const std::string errFile = dir_ / "err.txt";
  auto cli = StartFlash({"-q", "-p", a + "," + b, hex_}, errFile);
  const std::string waitFor = b + ": Блок: N10 успешно записан.";
  ASSERT_TRUE(cli->WaitForLine(waitFor, 20s));
  cli->Signal(SIGTERM);  // to the parent alone: it hands it on
  cli->Lines(20s);
  EXPECT_EQ(cli->Wait(5s), 143);
  const std::string err = ReadFile(errFile);
  for (const auto& port : {a, b}) {
    EXPECT_TRUE(Contains(err, "comflash-cli: " + port + ": interrupted at block")) << err;
    const auto r = Flash({"-q", "-p", port, hex_});
    EXPECT_EQ(r.status, 0) << port << ": " << r.err;
  }
  EXPECT_TRUE(Contains(err, "summary: 0 of 2 ports written")) << err;
}

}  // namespace
