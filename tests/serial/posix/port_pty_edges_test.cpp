// The port object on pseudo-terminals at the edges of its data path: direct
// writes larger than the line takes at once, a line that hung up, negative
// counts, and settings the line cannot carry.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "serial/VaComm.h"
#include "tests/support/PortFixture.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::Pty;

namespace {

using Bytes = std::vector<std::uint8_t>;

class PortAtItsEdges : public ::testing::Test {
 protected:
  void OpenApplicationPort() {
    port.SetBaudrate(br115200);
    port.SetDeviceName(pty.SlavePath());
    port.Open();
  }
  ~PortAtItsEdges() override {
    if (reader.joinable()) reader.join();
  }

  testsupport::RecordingApplication app;
  Pty pty;
  TVaComm port{nullptr};
  std::thread reader;
};

Bytes Pattern(std::size_t n) {
  Bytes v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 31 + i / 257);
  return v;
}

TEST_F(PortAtItsEdges, ADirectWriteSendsEveryByteBeforeItReturns) {
  port.SetDirectWrite(true);
  port.Buffers().SetWriteTimeout(10000);
  OpenApplicationPort();
  const Bytes data = Pattern(200000);
  Bytes received;
  reader = std::thread([&] { received = pty.Receive(data.size(), 10s); });
  EXPECT_EQ(port.WriteBytes(data.data(), static_cast<std::int32_t>(data.size())), 200000);
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
  port.Close();
}

TEST_F(PortAtItsEdges, ADirectWriteStillPendingWhenTheWaitEndsReturnsZero) {
  port.SetDirectWrite(true);
  port.Buffers().SetWriteTimeout(200);
  OpenApplicationPort();
  const Bytes data = Pattern(200000);  // far more than the line holds; nobody reads
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.WriteBytes(data.data(), static_cast<std::int32_t>(data.size())), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 190ms);
  pty.Drain(50ms);
  port.Close();
}

// The device went away: the reply wait's poll of the queue count fails at
// once with the port's error instead of waiting out its limit.
TEST_F(PortAtItsEdges, AHungUpLineFailsTheQueueCountAtOnce) {
  OpenApplicationPort();
  pty.HangUp();
  const auto t0 = std::chrono::steady_clock::now();
  std::string error;
  try {
    while (port.InQueueCount() <= 2 && std::chrono::steady_clock::now() - t0 < 5s) {
    }
  } catch (const EVaCommError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Error retrieving statistics (5), Input/output error");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(PortAtItsEdges, NegativeCountsReadAndWriteNothing) {
  OpenApplicationPort();
  pty.Send("0123456789");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return port.InQueueCount() == 10; }));
  std::array<std::uint8_t, 16> memory{};
  memory.fill(0xEE);
  EXPECT_EQ(port.ReadBytes(memory.data(), -1), 0);
  EXPECT_EQ(memory, (std::array<std::uint8_t, 16>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                                  0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(port.InQueueCount(), 10) << "nothing was taken from the queue";

  EXPECT_EQ(port.WriteBytes(memory.data(), -1), 0);  // the writer road
  port.Close();
  port.SetDirectWrite(true);
  port.Open();
  EXPECT_EQ(port.WriteBytes(memory.data(), -1), 0);
  EXPECT_TRUE(pty.Drain(50ms).empty());
  port.Close();
}

TEST_F(PortAtItsEdges, ASettingTheLineCannotCarryKeepsThePortClosed) {
  port.FlowControl().SetControlRts(rtsToggle);
  try {
    OpenApplicationPort();
    FAIL() << "RTS toggle cannot be done by a terminal";
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Error writing dcb (95), Operation not supported");
  }
  EXPECT_FALSE(port.IsOpen());
  port.FlowControl().SetControlRts(rtsDisabled);
  port.Open();  // the line was left free
  EXPECT_TRUE(port.IsOpen());
  port.Close();
}

}  // namespace
