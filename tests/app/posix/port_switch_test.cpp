// What the port switch leaves on a real terminal line (Linux); the switch's
// rules themselves are in window_ports_test.cpp, for both back ends.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/app/FormFixture.h"
#include "tests/support/PortFixture.h"
#include "tests/support/Pty.h"

namespace {

using namespace std::chrono_literals;
using guitest::FormTest;
using testsupport::Pty;
using testsupport::ScopedPortMap;

const std::string kBusy = "Порт не существует или занят другим устройством:";

// The line settings of a terminal device as the kernel holds them.
termios LineSettings(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return t;
  }
  EXPECT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  return t;
}

// The devices outlive the window, which is destroyed in TearDown.
class PortSwitchLine : public FormTest {
 protected:
  ScopedPortMap ports;
  Pty com3;
};

TEST_F(PortSwitchLine, SwitchingOnSetsTheTerminalTo115200_8N1WithoutFlowControl) {
  ports.Map("COM3", com3.SlavePath());
  TForm1& f = Create();
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());

  const termios t = LineSettings(com3.SlavePath());
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  com3.Send(std::string("\x5A"));
  EXPECT_TRUE(testsupport::PumpUntil([&] { return f.VaComm1->InQueueCount() > 0; }, 2000ms))
      << "a byte from the device reaches the window's port";
}

}  // namespace
