// The termios back end on pseudo-terminals: opening a line, and the parts
// shared by the whole process.
#include <sys/file.h>
#include <sys/ioctl.h>

#include "tests/serial/device/posix/SerialApiFixture.h"
#include "tests/support/ChildProcess.h"

namespace serial::posixtest {
namespace {

// ---- Opening ------------------------------------------------------------

TEST_F(PosixSerialApiTest, OpenIsExclusiveUntilClosed) {
  EXPECT_EQ(Open(pty_.SlavePath()), kInvalidHandle);
  EXPECT_EQ(LastError(), Errno(EBUSY));
  EXPECT_EQ(api_.ErrorText(LastError()), "Device or resource busy");

  // Other programs are kept out by the terminal's exclusive mode and by the
  // lock; while another side keeps the line open, neither may outlive us.
  const int fd = ::open(pty_.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
  Close();
  ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);

  h_ = Open(pty_.SlavePath());
  EXPECT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());
}

// A program that holds the line open without asking for a lock is noticed
// before anything of the line changes, and the refused open leaves the line
// as it was (not even exclusive).
TEST_F(PosixSerialApiTest, AProgramHoldingTheLineWithoutALockIsNoticed) {
  Close();
  const std::string path = pty_.SlavePath();
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  {
    testsupport::BackgroundProgram holder(
        {"/bin/sh", "-c", "exec 3<>\"$0\"; echo ready; exec sleep 30", path});
    ASSERT_EQ(holder.ReadLine(), "ready");
    EXPECT_EQ(Open(path), kInvalidHandle);
    EXPECT_EQ(LastError(), Errno(EBUSY));
    const termios t = LineSettings(path);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exclusive = 1;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);
  }
  // Once it has gone the line opens.
  h_ = Open(path);
  EXPECT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());
}

TEST_F(PosixSerialApiTest, OpensComNameThroughThePortMap) {
  Close();
  ScopedPortMap map;
  map.Map("COM3", pty_.SlavePath());
  h_ = Open("COM3");
  ASSERT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());

  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, "hi", 2, &n, &w_.ov));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(pty_.Receive(2, 2s), (Bytes{'h', 'i'}));
}

TEST_F(PosixSerialApiTest, MissingDeviceIsFileNotFound) {
  EXPECT_EQ(Open("/dev/comflash-no-such-device"), kInvalidHandle);
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  ScopedPortMap map;
  map.Map("COM7", map.Folder() + "/unplugged");
  EXPECT_EQ(Open("COM7"), kInvalidHandle);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST_F(PosixSerialApiTest, RefusesWhatIsNotATerminal) {
  EXPECT_EQ(Open("/dev/null"), kInvalidHandle);
  EXPECT_EQ(LastError(), Errno(ENOTTY));
}

TEST_F(PosixSerialApiTest, OpenMakesTheLineRaw) {
  Close();
  {
    const int fd = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
  }
  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle);

  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

  // Line ends pass untranslated and nothing is echoed.
  pty_.Send("a\rb\n");
  ASSERT_EQ(WaitInQueue(4), 4u);
  EXPECT_EQ(ReadAll(), (Bytes{'a', '\r', 'b', '\n'}));
  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, "c\n", 2, &n, &w_.ov));
  EXPECT_EQ(pty_.Drain(50ms), (Bytes{'c', '\n'}));
}

// ---- Process-wide parts --------------------------------------------------

TEST(PosixSerialApi, ReportsANonNtVersionRecord) {
  PosixSerialApi api;
  TOSVersionInfo info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(api.GetVersionExA(info));
  EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
  EXPECT_EQ(info.dwPlatformId, kVerPlatformWin32Windows);
}

TEST(PosixSerialApi, ErrorTextsFitTheMessagePatterns) {
  PosixSerialApi api;
  EXPECT_EQ(api.ErrorText(kErrorFileNotFound), "No such file or directory");
  std::vector<std::string> texts;
  for (const std::uint32_t code :
       {kErrorOperationAborted, kErrorIoIncomplete, kErrorIoPending, Errno(EBUSY)}) {
    const std::string text = api.ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_GE(static_cast<unsigned char>(text.back()), '!') << code;
    texts.push_back(text);
  }
  EXPECT_NE(texts[0], texts[1]);
  EXPECT_NE(texts[1], texts[2]);
  EXPECT_NE(texts[0], texts[2]);
}

TEST(PosixSerialApi, LastErrorBelongsToTheCallingThread) {
  PosixSerialApi api;
  EXPECT_EQ(api.CreateFileA("/dev/comflash-no-such-device", kGenericReadWrite, 0, kOpenExisting,
                            kFileFlagOverlapped),
            kInvalidHandle);
  std::uint32_t other = 0;
  std::thread([&] {
    api.CloseHandle(12345);
    other = api.GetLastError();
  }).join();
  EXPECT_EQ(other, Errno(EBADF));
  EXPECT_EQ(api.GetLastError(), kErrorFileNotFound);
}

TEST(PosixSerialApi, PlatformBackEndIsOneTermiosInstance) {
  SerialApi& api = PlatformSerialApi();
  EXPECT_EQ(&api, &PlatformSerialApi());
  EXPECT_NE(dynamic_cast<PosixSerialApi*>(&api), nullptr);
}

// Every descriptor the back end holds for an open line (the device and its
// wake-up pipe) is closed on exec, so no program started meanwhile keeps
// the line. They are made so when they are made (O_CLOEXEC, pipe2), which
// leaves no moment for a concurrent fork and exec to inherit them.
TEST_F(PosixSerialApiTest, NoDescriptorOfAnOpenLineSurvivesAnExec) {
  Close();
  constexpr int kMaxFd = 1024;
  std::vector<bool> before(kMaxFd);
  for (int fd = 0; fd < kMaxFd; ++fd) before[fd] = ::fcntl(fd, F_GETFD) >= 0;
  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle) << api_.ErrorText(LastError());
  int added = 0;
  for (int fd = 0; fd < kMaxFd; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || before[fd]) continue;
    ++added;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_EQ(added, 3) << "the device and both ends of the wake-up pipe";
}

}  // namespace
}  // namespace serial::posixtest
