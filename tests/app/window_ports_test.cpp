// The port switch and whole uploads through the window, on the ports each
// platform gives (WindowDevices) and on the scripted device, where every call
// is seen. The same tests run on the Qt and on the Win32 controls.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/core/FirmwareImage.h"
#include "framework/forms/Native.h"
#include "serial/VaComm.h"
#include "tests/app/FormFixture.h"
#include "tests/app/WindowDevices.h"
#include "tests/support/TempDir.h"

namespace {

using guitest::FormTest;
using guitest::ItemOf;
using guitest::OperatorClick;

const std::string kBusy = "Порт не существует или занят другим устройством:";

// The devices outlive the window, which is destroyed in TearDown.
class PortSwitch : public FormTest {
 protected:
  guitest::WindowDevices devices;
};

TEST_F(PortSwitch, CheckingAFreePortOpensItAndTheDeviceAnswers) {
  REQUIRE_BOOTLOADER(devices, port);
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(port));
  OperatorClick(*f.CheckBox1);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(dialogs.errors.empty());
  ASSERT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), port);
  EXPECT_EQ(f.VaComm1->Baudrate(), serial::br115200);
  OperatorClick(*f.Button4);
  EXPECT_TRUE(f.DeviceReady()) << f.Memo1->Text();
  EXPECT_EQ(f.Memo1->Text(), "85 51 170\nУстройство готово!");

  OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(PortSwitch, CheckingAgainAfterPickingAnotherItemOpensTheNewPort) {
  REQUIRE_BOOTLOADER(devices, first);
  REQUIRE_BOOTLOADER(devices, second);
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(first));
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  f.CheckBox1->SetChecked(false);
  ASSERT_FALSE(f.VaComm1->IsOpen());

  f.ComboBox1->SetItemIndex(ItemOf(second));
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), second);
  // Only the new port's device hears the greeting and can answer it.
  EXPECT_TRUE(f.DeviceReady()) << f.Memo1->Text();
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(PortSwitch, AMissingPortSwitchesBackOffAndSaysSo) {
  const std::string missing = devices.Missing();
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(missing));
  // The message comes after the nested click has switched back off.
  bool checkedDuringMessage = true;
  bool comboEnabledDuringMessage = false;
  dialogs.onMessage = [&](const std::string&) {
    checkedDuringMessage = f.CheckBox1->Checked();
    comboEnabledDuringMessage = f.ComboBox1->Enabled();
  };
  OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0], kBusy + missing);
  EXPECT_FALSE(checkedDuringMessage);
  EXPECT_TRUE(comboEnabledDuringMessage);
  EXPECT_TRUE(dialogs.errors.empty()) << "the open error itself is not shown";
}

TEST_F(PortSwitch, APortHeldByAnotherOpenerIsBusy) {
  REQUIRE_BOOTLOADER(devices, port);
  serial::TVaComm other(nullptr);
  other.SetDeviceName(port);
  other.Open();
  ASSERT_TRUE(other.IsOpen());
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(port));
  f.CheckBox1->SetChecked(true);
#ifdef _WIN32
  if (f.VaComm1->IsOpen())
    GTEST_SKIP() << "this system let a second opener have the same COM port (Wine has no "
                    "exclusive open)";
#endif
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy + port});

  // Free again, the same port opens.
  other.Close();
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(PortSwitch, ATypedNameIsNoPickedItem) {
  REQUIRE_BOOTLOADER(devices, port);
  TForm1& f = Create();
  // The typed name exists: opening the typed text would succeed.
  guitest::OperatorType(*f.ComboBox1, port);
  ASSERT_EQ(f.ComboBox1->Text(), port);
  EXPECT_EQ(f.ComboBox1->ItemIndex(), -1);

  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), "");
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy});

  // Picking the item from the list afterwards does open it.
  f.ComboBox1->SetItemIndex(ItemOf(port));
  EXPECT_EQ(f.ComboBox1->ItemIndex(), ItemOf(port));
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), port);
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

// An Intel HEX file as objcopy writes one: 16-byte data records, a segment
// record where the address passes 64 KiB, an end record.
std::string HexOf(const std::string& bytes, unsigned base) {
  std::string text;
  char buf[64];
  auto record = [&](unsigned type, unsigned offset, const unsigned char* data, unsigned n) {
    unsigned sum = n + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", n, offset & 0xFFFF, type);
    text += buf;
    for (unsigned i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[i]);
      text += buf;
      sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += buf;
  };
  unsigned segment = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    const unsigned address = base + static_cast<unsigned>(i);
    if ((address >> 16) != segment) {
      segment = address >> 16;
      const unsigned char s[2] = {static_cast<unsigned char>(segment << 4), 0};
      record(0x02, 0, s, 2);
    }
    const auto n = static_cast<unsigned>(std::min<std::size_t>(16, bytes.size() - i));
    record(0x00, address & 0xFFFF, reinterpret_cast<const unsigned char*>(bytes.data() + i), n);
  }
  record(0x01, 0, nullptr, 0);
  return text;
}

class WindowUpload : public FormTest {
 protected:
  void SetUp() override {
    saved_ = comflash::FirmwareImage;
    std::mt19937 rng(5);
    image.resize(0x1F800 - 0x0C00);
    for (auto& c : image) c = static_cast<char>(rng());
    hex = dir / "image.hex";
    std::ofstream(hex, std::ios::binary) << HexOf(image, 0x0C00);
  }
  void TearDown() override {
    FormTest::TearDown();
    comflash::FirmwareImage = saved_;
  }
  // Loads the file and switches the port on.
  TForm1& Prepare(const std::string& port) {
    TForm1& f = Create();
    dialogs.openAnswers.push_back(hex);
    OperatorClick(*f.Button1);
    f.ComboBox1->SetItemIndex(ItemOf(port));
    f.CheckBox1->SetChecked(true);
    return f;
  }

  guitest::WindowDevices devices;
  testsupport::TempDir dir{"comflash-window"};
  std::string image;
  std::string hex;

 private:
  comflash::FirmwareImageBytes saved_{};
};

TEST_F(WindowUpload, LoadSwitchOnUploadAndTheDeviceHoldsTheImage) {
  REQUIRE_BOOTLOADER(devices, port, "--refuse", "7:2");
  TForm1& f = Prepare(port);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  OperatorClick(*f.Button3);
  const std::vector<std::string> log = guitest::Lines(f.Memo1->Text());
  ASSERT_EQ(log.size(), 128u);
  EXPECT_EQ(log.front(), "85 51 170");
  EXPECT_EQ(log[6], "Ошибка записи - Блок: N7");
  EXPECT_EQ(log[7], "Ошибка записи - Блок: N7");
  EXPECT_EQ(log[8], "Блок: N7 успешно записан.");
  EXPECT_EQ(log.back(), "Процесс прошивки закончен, брат!");
  EXPECT_TRUE(f.CheckBox1->Enabled() && f.Button1->Enabled() && f.Button3->Enabled());
  EXPECT_TRUE(dialogs.errors.empty());

  const std::string memory = devices.Memory();
  ASSERT_EQ(memory.size(), 131072u);
  EXPECT_EQ(memory.substr(0x0C00, image.size()), image);
  EXPECT_EQ(memory.substr(0, 0x0C00), std::string(0x0C00, '\0'));
  EXPECT_EQ(memory.substr(0x1F800), std::string(0x800, '\0'));
}

TEST_F(WindowUpload, TheDeviceDroppingTheLineIsShownAndThePortCanBeSwitchedOff) {
  REQUIRE_BOOTLOADER(devices, port, "--drop-after", "10");
  TForm1& f = Prepare(port);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  OperatorClick(*f.Button3);
  ASSERT_FALSE(dialogs.errors.empty()) << "the port's error is shown";
#ifdef _WIN32
  // The run's error, and at most once more the same failure, from a line
  // event that was waiting for its delivery when the device went (its status
  // read fails too); a thread that went on delivering would show it again
  // and again.
  EXPECT_LE(dialogs.errors.size(), 2u) << ::testing::PrintToString(dialogs.errors);
  EXPECT_EQ(dialogs.errors.back(), dialogs.errors.front());
#else
  EXPECT_EQ(dialogs.errors.size(), 1u) << ::testing::PrintToString(dialogs.errors);
#endif
  EXPECT_TRUE(f.CheckBox1->Enabled() && f.Button1->Enabled() && f.Button3->Enabled());
  OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.VaComm1->IsOpen());
}

#ifdef _WIN32
// The operator closes the window half-way: the upload goes on in sight to
// its end, then the window closes and the program's loop ends (Project1 then
// destroys the form, which closes the port). The close is asked the way the
// system asks it, by WM_CLOSE; form_close_test.cpp has the same rule on both
// back ends without a device.
TEST_F(WindowUpload, ClosedDuringAnUploadTheRunEndsAndThenTheWindowCloses) {
  REQUIRE_BOOTLOADER(devices, port, "--refuse", "7:2");
  TForm1& f = Prepare(port);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  static HWND window;
  window = static_cast<HWND>(f.Native().Handle());
  const UINT_PTR timer = SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostMessageW(window, WM_CLOSE, 0, 0);
  });
  OperatorClick(*f.Button3);
  KillTimer(nullptr, timer);
  const std::vector<std::string> log = guitest::Lines(f.Memo1->Text());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Процесс прошивки закончен, брат!") << "the run went on to its end";
  EXPECT_FALSE(f.Visible()) << "closed once the run ended";
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the loop ends";
  EXPECT_TRUE(dialogs.errors.empty());
}
#endif

}  // namespace
