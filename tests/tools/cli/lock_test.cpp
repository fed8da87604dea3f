// comflash-cli and the line's lock: a live flasher keeps others out, a dead
// one leaves nothing behind, whoever else keeps the line open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "tests/tools/cli/CliFixture.h"

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

// The simulator keeps the line open, so the settings stay with the line
// between the openers.
TEST_F(CliLock, TheLineHasItsSettingsBackAfterARun) {
  const auto port = StartDevice();
  termios before{};
  {
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    // A console's settings: 9600 baud, line editing, echo.
    before.c_lflag |= ICANON | ECHO;
    before.c_oflag |= OPOST;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    ::close(fd);
  }
  const auto r = Flash({"-q", "-p", port, hex_});
  ASSERT_EQ(r.status, 0) << r.err;

  const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios after{};
  ASSERT_EQ(::tcgetattr(fd, &after), 0);
  ::close(fd);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), B9600);
}

}  // namespace
