// Noise from the simulated device on a pseudo-terminal between the switch and
// the upload, taken by the simulator's signal (Linux); whole uploads are in
// window_ports_test.cpp, for both back ends.
#include <gtest/gtest.h>

#include <QPixmap>
#include <QWidget>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "framework/forms/Native.h"
#include "tests/app/FormFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PortFixture.h"
#include "tests/support/Pty.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

class WindowNoise : public guitest::FormTest {
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

TEST_F(WindowNoise, BytesTheDeviceSentAfterTheSwitchAreGoneBeforeTheHandshake) {
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
  // The README's picture of a finished upload is taken here on request.
  if (const char* shot = std::getenv("COMFLASH_SCREENSHOT"))
    static_cast<QWidget*>(f.Native().Handle())->grab().save(QString::fromUtf8(shot));
}

}  // namespace
