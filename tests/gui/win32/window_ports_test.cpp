// The window's port switch and whole uploads on real COM ports: under Wine
// they are pseudo-terminals with the simulated device at the other end,
// mapped by the test runner (tests/wine/run.sh).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/core/FirmwareImage.h"
#include "framework/forms/Native.h"
#include "tests/gui/FormFixture.h"
#include "tests/support/TempDir.h"
#include "tests/win32/WineCheck.h"

namespace {

using guitest::FormTest;
using guitest::OperatorClick;

const std::string kBusy = "Порт не существует или занят другим устройством:";

// The simulator the runner put on COM3 for this run ("" when none).
std::string SimulatorOnCom3() {
  const char* sim = std::getenv("COMFLASH_WINDOW_SIM");
  return sim ? sim : "";
}

#define REQUIRE_SIMULATOR_ON_COM3(kind)                                               \
  do {                                                                                \
    if (SimulatorOnCom3() != (kind))                                                  \
      GTEST_SKIP() << "needs the simulated device '" << (kind)                        \
                   << "' as COM3 (COMFLASH_WINDOW_SIM; tests/wine/run.sh starts it)"; \
  } while (0)

// The index in ComboBox1 of COMn.
int ItemOf(const std::string& port) {
  return std::atoi(port.c_str() + 3) - 1;
}

using WindowPorts = FormTest;

TEST_F(WindowPorts, CheckingAFreePortOpensItAndTheDeviceAnswers) {
  REQUIRE_DEVICE_PORT();
  const std::string port = testsupport::DevicePort();
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(port));
  OperatorClick(*f.CheckBox1);
  EXPECT_TRUE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(dialogs.errors.empty());
  ASSERT_TRUE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.VaComm1->DeviceName(), port);
  OperatorClick(*f.Button4);
  EXPECT_TRUE(f.DeviceReady()) << f.Memo1->Text();
  EXPECT_EQ(f.Memo1->Text(), "85 51 170\nУстройство готово!");

  OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(WindowPorts, AMissingPortSwitchesBackOffAndSaysSo) {
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(8);
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
  EXPECT_EQ(dialogs.messages[0], kBusy + "COM9");
  EXPECT_FALSE(checkedDuringMessage);
  EXPECT_TRUE(comboEnabledDuringMessage);
  EXPECT_TRUE(dialogs.errors.empty()) << "the open error itself is not shown";
}

TEST_F(WindowPorts, APortHeldByAnotherOpenerIsBusy) {
  REQUIRE_DEVICE_PORT();
  const std::string port = testsupport::DevicePort();
  serial::TVaComm other(nullptr);
  other.SetDeviceName(port);
  other.Open();
  ASSERT_TRUE(other.IsOpen());
  TForm1& f = Create();
  f.ComboBox1->SetItemIndex(ItemOf(port));
  f.CheckBox1->SetChecked(true);
  if (testsupport::RunningUnderWine() && f.VaComm1->IsOpen())
    GTEST_SKIP() << "Wine lets a second opener have the same COM port (no exclusive open)";
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{kBusy + port});
  other.Close();
  f.CheckBox1->SetChecked(true);
  EXPECT_TRUE(f.VaComm1->IsOpen());
}

TEST_F(WindowPorts, ATypedNameIsNoPickedItem) {
  REQUIRE_DEVICE_PORT();
  const std::string port = testsupport::DevicePort();
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
  // Loads the file and switches COM3 on.
  TForm1& Prepare() {
    TForm1& f = Create();
    dialogs.openAnswers.push_back(hex);
    OperatorClick(*f.Button1);
    f.ComboBox1->SetItemIndex(2);
    f.CheckBox1->SetChecked(true);
    return f;
  }

  testsupport::TempDir dir{"comflash-window"};
  std::string image;
  std::string hex;

 private:
  comflash::FirmwareImageBytes saved_{};
};

TEST_F(WindowUpload, LoadSwitchOnUploadAndTheDeviceHoldsTheImage) {
  REQUIRE_SIMULATOR_ON_COM3("--refuse 7:2");
  const char* dump = std::getenv("COMFLASH_WINDOW_SIM_DUMP");
  ASSERT_NE(dump, nullptr) << "the runner names the device's memory dump";
  TForm1& f = Prepare();
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

  // The device writes its memory after every block it accepts.
  std::ifstream in(dump, std::ios::binary);
  const std::string memory((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(memory.size(), 131072u);
  EXPECT_EQ(memory.substr(0x0C00, image.size()), image);
  EXPECT_EQ(memory.substr(0, 0x0C00), std::string(0x0C00, '\0'));
  EXPECT_EQ(memory.substr(0x1F800), std::string(0x800, '\0'));
}

TEST_F(WindowUpload, TheDeviceDroppingTheLineIsShownAndThePortCanBeSwitchedOff) {
  REQUIRE_SIMULATOR_ON_COM3("--drop-after 10");
  TForm1& f = Prepare();
  ASSERT_TRUE(f.VaComm1->IsOpen());
  OperatorClick(*f.Button3);
  // The run's error, and at most once more the same failure, from a line
  // event that was waiting for its delivery when the device went (its status
  // read fails too); a thread that went on delivering would show it again
  // and again.
  ASSERT_FALSE(dialogs.errors.empty()) << "the port's error is shown";
  EXPECT_LE(dialogs.errors.size(), 2u) << ::testing::PrintToString(dialogs.errors);
  EXPECT_EQ(dialogs.errors.back(), dialogs.errors.front());
  EXPECT_TRUE(f.CheckBox1->Enabled() && f.Button1->Enabled() && f.Button3->Enabled());
  OperatorClick(*f.CheckBox1);
  EXPECT_FALSE(f.VaComm1->IsOpen());
}

// The operator closes the window half-way: the upload goes on in sight to
// its end, then the window closes and the program's loop ends (Project1 then
// destroys the form, which closes the port).
TEST_F(WindowUpload, ClosedDuringAnUploadTheRunEndsAndThenTheWindowCloses) {
  REQUIRE_SIMULATOR_ON_COM3("--refuse 7:2");
  TForm1& f = Prepare();
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

}  // namespace
