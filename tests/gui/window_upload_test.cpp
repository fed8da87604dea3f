// Whole uploads from the window into the simulated device on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QPixmap>
#include <QWidget>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "framework/forms/Native.h"
#include "tests/gui/FormFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PortFixture.h"
#include "tests/support/Pty.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

class WindowUpload : public guitest::FormTest {
 protected:
  void TearDown() override {
    guitest::FormTest::TearDown();
    device.reset();
  }
  void StartDevice(std::vector<std::string> options) {
    device = std::make_unique<testsupport::SimulatedDevice>(dir / "device.bin", std::move(options));
    ASSERT_FALSE(device->Path().empty());
    ports.Map("COM3", device->Path());
  }
  std::vector<std::string> Log(TForm1& f) { return guitest::Lines(f.Memo1->Text()); }

  testsupport::TempDir dir{"comflash-gui"};
  testsupport::SampleImage sample{dir, 5};
  const std::string& image = sample.Bytes();
  const std::string& hex = sample.Hex();
  testsupport::ScopedPortMap ports;
  std::unique_ptr<testsupport::SimulatedDevice> device;
};

TEST_F(WindowUpload, LoadSwitchOnUploadAndTheDeviceHoldsTheImage) {
  StartDevice({"--refuse", "7:2"});
  TForm1& f = Create();
  dialogs.openAnswers.push_back(hex);
  guitest::OperatorClick(*f.Button1);
  EXPECT_EQ(Log(f).size(), 7872u) << "one line per data record";
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  guitest::OperatorClick(*f.Button3);
  const std::vector<std::string> log = Log(f);
  ASSERT_EQ(log.size(), 128u);
  EXPECT_EQ(log.front(), "85 51 170");
  EXPECT_EQ(log[6], std::string("Ошибка записи - Блок: N7"));
  EXPECT_EQ(log[7], std::string("Ошибка записи - Блок: N7"));
  EXPECT_EQ(log[8], std::string("Блок: N7 успешно записан."));
  EXPECT_EQ(log.back(), std::string("Процесс прошивки закончен, брат!"));
  EXPECT_TRUE(f.CheckBox1->Enabled() && f.Button1->Enabled() && f.Button3->Enabled());
  EXPECT_TRUE(dialogs.errors.empty());
  // The README's picture of a finished upload is taken here on request.
  if (const char* shot = std::getenv("COMFLASH_SCREENSHOT"))
    static_cast<QWidget*>(f.Native().Handle())->grab().save(QString::fromUtf8(shot));
  device->Program().Stop();
  std::ifstream in(dir / "device.bin", std::ios::binary);
  const std::string memory((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(memory.size(), 131072u);
  EXPECT_EQ(memory.substr(0x0C00, image.size()), image);
  EXPECT_EQ(memory.substr(0, 0x0C00), std::string(0x0C00, '\0'));
  EXPECT_EQ(memory.substr(0x1F800), std::string(0x800, '\0'));
}

TEST_F(WindowUpload, BytesTheDeviceSentBeforeTheClickAreGoneBeforeTheHandshake) {
  StartDevice({"--noise", "300"});
  TForm1& f = Create();
  dialogs.openAnswers.push_back(hex);
  guitest::OperatorClick(*f.Button1);
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  // Noise after the switch's own purge: only the run's drain and purge take it.
  device->Program().Signal(SIGUSR1);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return f.VaComm1->InQueueCount() >= 300; }, 5000ms));
  guitest::OperatorClick(*f.Button3);
  const std::vector<std::string> log = Log(f);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "85 51 170");
  EXPECT_EQ(log.back(), std::string("Процесс прошивки закончен, брат!"));
  EXPECT_EQ(f.ProgressBar1->Position(), 10) << "neither a load nor an upload moves the bar";
}

TEST_F(WindowUpload, TheDeviceDroppingTheLineIsShownAndThePortCanBeSwitchedOff) {
  StartDevice({"--drop-after", "10"});
  TForm1& f = Create();
  dialogs.openAnswers.push_back(hex);
  guitest::OperatorClick(*f.Button1);
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  guitest::OperatorClick(*f.Button3);
  EXPECT_EQ(dialogs.errors.size(), 1u) << "the port's error is shown";
  EXPECT_TRUE(f.CheckBox1->Enabled() && f.Button1->Enabled() && f.Button3->Enabled());
  f.CheckBox1->SetChecked(false);
  EXPECT_FALSE(f.VaComm1->IsOpen());
}

}  // namespace
