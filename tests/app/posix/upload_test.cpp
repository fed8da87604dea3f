// The bootloader exchanges and the upload button through the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/app/FormFixture.h"
#include "tests/support/Pty.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class Exchanges : public guitest::FormTest {
 protected:
  testsupport::ScopedPortMap ports;
  testsupport::Pty device;
};

TEST_F(Exchanges, HandshakeAndBlockGoThroughTheOpenPortIntoTheLog) {
  ports.Map("COM3", device.SlavePath());
  TForm1& f = Create();
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  guitest::OperatorClick(*f.Button4);

  comflash::BlockData data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t dataXor = 0;
  for (const std::uint8_t b : data) dataXor ^= b;

  Bytes handshake;
  Bytes frame;
  std::thread bootloader([&] {
    handshake = device.Receive(2, 2000ms);
    device.Send(Bytes{0x55, 0x33, 0xAA});
    frame = device.Receive(1028, 2000ms);
    device.Send(Bytes{0x55, 0x11, 0xAA});
  });
  const bool ready = f.DeviceReady();
  const bool written = ready && f.WriteBlock(3, data, dataXor);
  bootloader.join();

  EXPECT_TRUE(ready);
  EXPECT_TRUE(written);
  EXPECT_EQ(handshake, (Bytes{0x33, 0x33}));
  ASSERT_EQ(frame.size(), 1028u);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 3), (Bytes{0x11, 0x03, 0x03}));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin() + 3));
  EXPECT_EQ(frame.back(), dataXor ^ 0x11);
  EXPECT_EQ(f.Memo1->Text(),
            std::string("85 51 170\nУстройство готово!\nБлок: N3 успешно записан."));
}

using UploadButton = guitest::FormTest;

TEST_F(UploadButton, WithThePortOffTheRunEndsAtTheHandshake) {
  TForm1& f = Create();
  ASSERT_FALSE(f.VaComm1->IsOpen());
  const auto start = std::chrono::steady_clock::now();
  guitest::OperatorClick(*f.Button3);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 2500ms) << "the full reply wait";
  EXPECT_EQ(f.Memo1->Text(), std::string("0 0 0\nУстройство не готово!"));
  EXPECT_TRUE(f.CheckBox1->Enabled());
  EXPECT_TRUE(f.Button1->Enabled());
  EXPECT_TRUE(f.Button3->Enabled());
  EXPECT_TRUE(dialogs.errors.empty());
}

}  // namespace
