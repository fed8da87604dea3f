// The port switch on real pseudo-terminals and on the scripted device.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/gui/FormFixture.h"
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

// True when a byte the device sends arrives at the window's port.
bool Hears(TForm1& f, Pty& device) {
  device.Send(std::string("\x5A"));
  return testsupport::PumpUntil([&] { return f.VaComm1->InQueueCount() > 0; }, 2000ms);
}

// The devices outlive the window, which is destroyed in TearDown.
class PortSwitch : public FormTest {
 protected:
  ScopedPortMap ports;
  Pty com3;
  Pty com4;
  Pty com5;
};

TEST_F(PortSwitch, CheckingAFreePortOpensItAt115200_8N1) {
  ports.Map("COM3", com3.SlavePath());
  TForm1& f = Create();
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(dialogs.errors.empty());
  ASSERT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), "COM3");

  const termios t = LineSettings(com3.SlavePath());
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_TRUE(Hears(f, com3));

  f.CheckBox1->SetChecked(false);
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(PortSwitch, CheckingAgainAfterPickingAnotherItemOpensTheNewPort) {
  ports.Map("COM3", com3.SlavePath());
  ports.Map("COM4", com4.SlavePath());
  TForm1& f = Create();
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  f.CheckBox1->SetChecked(false);
  ASSERT_FALSE(f.VaComm1->IsOpen());

  f.ComboBox1->SetItemIndex(3);
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), "COM4");
  EXPECT_TRUE(Hears(f, com4));
  f.VaComm1->WriteByte(0xA5);
  EXPECT_EQ(com4.Receive(1, 2000ms), std::vector<std::uint8_t>{0xA5});
  EXPECT_TRUE(com3.Drain(50ms).empty()) << "the first port is no longer used";
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(PortSwitch, AMissingPortSwitchesBackOffAndSaysSo) {
  ports.Map("COM9", ports.Folder() + "/no-such-device");
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(8);
  // The message comes after the nested click has switched back off.
  bool checkedDuringMessage = true;
  bool comboEnabledDuringMessage = false;
  dialogs.onMessage = [&](const std::string&) {
    checkedDuringMessage = f.CheckBox1->Checked();
    comboEnabledDuringMessage = f.ComboBox1->Enabled();
  };
  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0], kBusy + "COM9");
  EXPECT_FALSE(checkedDuringMessage);
  EXPECT_TRUE(comboEnabledDuringMessage);
  EXPECT_TRUE(dialogs.errors.empty()) << "the open error itself is not shown";
}

TEST_F(PortSwitch, APortHeldByAnotherOpenerIsBusy) {
  ports.Map("COM3", com3.SlavePath());
  serial::TVaComm other(nullptr);
  other.SetDeviceName(com3.SlavePath());
  other.Open();
  ASSERT_TRUE(other.IsOpen());

  TForm1& f = Create();
  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy + "COM3"});

  // Free again, the same port opens.
  other.Close();
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(PortSwitch, ATypedNameIsNoPickedItem) {
  // COM5 exists: opening the typed text would succeed.
  ports.Map("COM5", com5.SlavePath());
  TForm1& f = Create();
  guitest::OperatorType(*f.ComboBox1, "COM5");
  ASSERT_EQ(f.ComboBox1->Text(), "COM5");
  EXPECT_EQ(f.ComboBox1->ItemIndex(), -1);

  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), "");
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy});

  // Picking the item from the list afterwards does open it.
  f.ComboBox1->SetItemIndex(4);
  EXPECT_EQ(f.ComboBox1->ItemIndex(), 4);
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), "COM5");
}

// The same steps on the scripted device, where every call is seen.
using PortSwitchCalls = FormTest;

TEST_F(PortSwitchCalls, AnOpenIsFollowedByResetThenPurge) {
  TForm1& f = Create(fake);
  fake.ClearCalls();
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  const auto calls = fake.CallsNamed({"CreateFileA", "EscapeCommFunction", "PurgeComm"});
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].rfind("CreateFileA(\\\\.\\COM3,", 0), 0u) << calls[0];
  EXPECT_EQ(calls[1], "EscapeCommFunction(7)");
  EXPECT_EQ(calls[2], "PurgeComm(15)") << "both directions, the writer's buffer too";
}

TEST_F(PortSwitchCalls, AFailedOpenNeitherResetsNorPurges) {
  TForm1& f = Create(fake);
  fake.ClearCalls();
  fake.FailNext("CreateFileA", 5);
  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(fake.CallsNamed({"EscapeCommFunction", "PurgeComm"}).empty());
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy + "COM3"});
}

TEST_F(PortSwitchCalls, SettingTheStateTheBoxAlreadyHasRunsNothing) {
  TForm1& f = Create(fake);
  f.ComboBox1->SetEnabled(false);  // a handler run would enable it again
  f.CheckBox1->SetChecked(false);
  EXPECT_FALSE(f.ComboBox1->Enabled());
  f.ComboBox1->SetEnabled(true);

  f.CheckBox1->SetChecked(true);
  fake.ClearCalls();
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(fake.Calls().empty()) << "no second open, reset or purge";
}

TEST_F(PortSwitchCalls, TheOperatorsClickSwitchesLikeTheProgramsChange) {
  TForm1& f = Create(fake);
  guitest::OperatorClick(*f.CheckBox1);
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_FALSE(f.ComboBox1->Enabled());
  guitest::OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_TRUE(f.ComboBox1->Enabled());
}

// Errors of the reset or the purge on the open port reach the error box and leave the switch on.
class ResetOrPurgeFailure : public PortSwitchCalls,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(ResetOrPurgeFailure, GoesToTheErrorBoxAndTheSwitchStaysOn) {
  TForm1& f = Create(fake);
  fake.FailNext(GetParam(), 31);
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_FALSE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(dialogs.errors.size(), 1u);
  const std::string expected = std::string(GetParam()) == "EscapeCommFunction"
                                   ? "Error calling comm function (31)"
                                   : "Error clearing buffers (31)";
  EXPECT_EQ(dialogs.errors[0].rfind(expected, 0), 0u) << dialogs.errors[0];
  EXPECT_NE(dialogs.errors[0].find("not functioning"), std::string::npos) << dialogs.errors[0];
}

INSTANTIATE_TEST_SUITE_P(PortSwitchCalls, ResetOrPurgeFailure,
                         ::testing::Values("EscapeCommFunction", "PurgeComm"));

}  // namespace
