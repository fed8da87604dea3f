// comflash-cli and the line's lock: a live flasher keeps others out, a dead
// one leaves nothing behind, whoever else keeps the line open.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/tools/CliFixture.h"

namespace {

using namespace clitest;

// About 9 ms a block: a run lasts long enough to be caught in the middle.
const std::vector<std::string> kPaced{"--baud", "1000000"};

class CliLock : public CliFixture {
 protected:
  // A flasher on port, read up to the log line of block 10.
  std::unique_ptr<testsupport::BackgroundProgram> StartedUpload(const std::string& port) {
    auto cli = StartFlash({"-q", "-p", port, hex_}, dir_ / "first.err");
    bool there = false;
    while (const auto line = cli->ReadLine(20s))
      if ((there = *line == "Блок: N10 успешно записан.")) break;
    EXPECT_TRUE(there) << "the upload did not get to block 10: " << cli->Seen();
    return cli;
  }
};

// The simulator keeps the line open throughout, so whatever the killed
// flasher left on the line (its exclusive mark) is still there.
TEST_F(CliLock, AKilledFlasherLeavesTheLineFreeForTheNextRunAtOnce) {
  const auto port = StartDevice(kPaced);
  auto cli = StartedUpload(port);
  cli->Signal(SIGKILL);
  ASSERT_EQ(cli->Wait(5s), 128 + SIGKILL);

  const auto t0 = std::chrono::steady_clock::now();
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Contains(r.err, "busy")) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);
  EXPECT_TRUE(HoldsTheImage());
}

TEST_F(CliLock, ALiveFlasherKeepsASecondOneOutAndFinishes) {
  const auto port = StartDevice(kPaced);
  auto cli = StartedUpload(port);
  const auto second = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(second.status, 3) << second.err;
  EXPECT_TRUE(Contains(second.err, "another program holds " + port)) << second.err;
  EXPECT_EQ(cli->Wait(30s), 0) << ReadFile(dir_ / "first.err");
  EXPECT_TRUE(HoldsTheImage());
}

TEST_F(CliLock, AProgramHoldingTheLineOpenKeepsTheFlasherOut) {
  const auto port = StartDevice();
  // A terminal program with the line open and no lock of its own.
  testsupport::BackgroundProgram holder(
      {"/bin/sh", "-c", "exec 3<>\"$0\"; echo open; exec sleep 30", port});
  ASSERT_TRUE(holder.WaitForLine("open", 5s));
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(Contains(r.err, "another program holds " + port)) << r.err;
}

}  // namespace
