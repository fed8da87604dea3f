// Rules of the port that only a provoked case shows: the order inside a
// purge, the writer's waits, the status read behind every delivery, the
// writer ended by its own handler, and the pause at the end of a close.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "serial/VaComm.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/PortFixture.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::PumpUntil;
using testsupport::WaitUntil;

namespace {

using Clock = std::chrono::steady_clock;

class PortRules : public ::testing::Test {
 protected:
  std::ptrdiff_t IndexOf(const std::vector<std::string>& calls, const std::string& call) {
    const auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? -1 : it - calls.begin();
  }

  testsupport::RecordingApplication app;
  FakeSerialApi fake;
  TVaComm port{nullptr, fake};
};

}  // namespace

TEST_F(PortRules, PurgeAllEndsTheWritersRequestBeforeTheDevicePurge) {
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  port.WriteBytes("abc", 3);
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  fake.ClearCalls();
  port.PurgeAll();
  const auto calls = fake.Calls();
  const auto cancel = IndexOf(calls, "CancelIoEx(write)");
  const auto purge = IndexOf(calls, "PurgeComm(15)");
  ASSERT_GE(cancel, 0);
  ASSERT_GE(purge, 0);
  EXPECT_LT(cancel, purge) << "the writer lets go of its bytes before the device drops them";
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 0);
  port.Close();
}

TEST_F(PortRules, AClearWaitsTwoSecondsForAWriterThatCannotAnswer) {
  // The writer hands its transmit-empty notice to the main thread and blocks
  // there; the main thread purges without processing messages.
  port.SetOnTxEmpty([](TVaCustomComm*) {});
  port.Open();
  port.WriteBytes("a", 1);
  ASSERT_TRUE(WaitUntil([] { return framework::WaitForQueuedCall(0); }));
  const auto t0 = Clock::now();
  port.PurgeAll();
  EXPECT_GE(Clock::now() - t0, 1990ms);
  ASSERT_TRUE(PumpUntil([] { return !framework::WaitForQueuedCall(0); }));
  port.Close();
}

TEST_F(PortRules, TheFirstPurgeIsAcknowledgedAtOnceAndLaterOnesNeverWait) {
  port.Open();
  auto t0 = Clock::now();
  port.PurgeAll();  // the writer is idle: its wait hears the flush
  EXPECT_LT(Clock::now() - t0, 1000ms);
  // Once acknowledged, a purge does not wait even for a writer that is
  // handing a notice to a main thread that does not process messages.
  port.SetOnTxEmpty([](TVaCustomComm*) {});
  port.WriteBytes("a", 1);
  ASSERT_TRUE(WaitUntil([] { return framework::WaitForQueuedCall(0); }));
  t0 = Clock::now();
  port.PurgeAll();
  EXPECT_LT(Clock::now() - t0, 1000ms);
  ASSERT_TRUE(PumpUntil([] { return !framework::WaitForQueuedCall(0); }));
  port.Close();
}

TEST_F(PortRules, MoreThanTheWholeBufferWaitsItsLimitAndBuffersNothing) {
  port.Buffers().SetWriteTimeout(50);
  port.Open();
  std::vector<std::uint8_t> big(2049, 1);
  const auto t0 = Clock::now();
  try {
    port.WriteBytes(big.data(), 2049);
    FAIL() << "no error";
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Output buffer is full. Please check comm status.");
  }
  EXPECT_GE(Clock::now() - t0, 50ms);
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 0);
  EXPECT_TRUE(fake.Written().empty());
  port.Close();
}

TEST_F(PortRules, AWholeBufferBehindTenBufferedBytesWaitsForThemAndIsTaken) {
  port.Buffers().SetWriteTimeout(3000);
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  port.WriteBytes("0123456789", 10);
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  std::thread device([&] {
    std::this_thread::sleep_for(40ms);
    fake.CompleteWrite(10);
  });
  std::vector<std::uint8_t> block(2048, 0x33);
  const auto t0 = Clock::now();
  EXPECT_EQ(port.WriteBytes(block.data(), 2048), 2048);
  EXPECT_GE(Clock::now() - t0, 35ms) << "it had to wait for the ten bytes to go";
  device.join();
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 2048);
  port.Close();
}

TEST_F(PortRules, ADeliveryReadsTheStatusEvenWithNoReceiveHandler) {
  testsupport::CountingDisplay display(nullptr);
  port.SetDisplay(&display);
  port.Open();
  fake.RaiseErrors(kCeFrame);
  fake.Receive({1, 2});
  fake.RaiseEvents(kEvRxChar);
  ASSERT_TRUE(PumpUntil([&] { return display.notes == 1; }));
  TVaCommStatus status;
  port.ReadStatus(status);
  EXPECT_EQ(status.Errors, 0u) << "the delivery's status read cleared the error flags";
  port.Close();
}

TEST_F(PortRules, AnOnTxEmptyHandlerThatRaisesEndsTheWriterQuietly) {
  port.Buffers().SetWriteTimeout(30);
  port.SetOnTxEmpty([](TVaCustomComm*) { throw EVaCommError("handler failed"); });
  port.Open();
  port.WriteBytes("a", 1);
  ASSERT_TRUE(PumpUntil([&] { return port.WriteThread()->Finished(); }));
  EXPECT_TRUE(app.Shown().empty()) << "no message to the user";
  EXPECT_TRUE(port.IsOpen());
  // With nobody to carry them, bytes fill the buffer until it is full.
  std::vector<std::uint8_t> block(2048, 7);
  EXPECT_EQ(port.WriteBytes(block.data(), 2048), 2048);
  try {
    port.WriteBytes("b", 1);
    FAIL() << "no error";
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Output buffer is full. Please check comm status.");
  }
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.WriteThread(), nullptr);
}

TEST_F(PortRules, DestroyingAnOpenPortPausesAsCloseDoes) {
  const auto t0 = Clock::now();
  {
    TVaComm other(nullptr, fake);
    other.Open();
  }
  EXPECT_GE(Clock::now() - t0, 300ms);
}

TEST_F(PortRules, AnOnCloseErrorReachesTheCallerAndSkipsThePause) {
  port.OnClose = [](TVaCustomComm*) { throw EVaCommError("close handler failed"); };
  port.Open();
  const THandle handle = port.Handle;
  const auto t0 = Clock::now();
  EXPECT_THROW(port.Close(), EVaCommError);
  EXPECT_LT(Clock::now() - t0, 250ms);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(fake.IsOpen(handle));
}

TEST_F(PortRules, CloseEndsTheEventThreadBeforeTheWriterThread) {
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  port.WriteBytes("abc", 3);
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding() && fake.WaitOutstanding(); }));
  fake.ClearCalls();
  port.Close();
  // Each thread cancels its own outstanding request as it ends.
  const auto calls = fake.CallsNamed({"CancelIoEx"});
  EXPECT_EQ(calls, (std::vector<std::string>{"CancelIoEx(wait)", "CancelIoEx(write)"}));
}

TEST_F(PortRules, CloseStopsTheThreadsOnlyOnceItHoldsThePortLock) {
  port.Open();
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  fake.ClearCalls();
  // Another thread in the middle of a read or status operation holds the lock.
  std::atomic<bool> held{false};
  std::vector<std::string> seenWhileHeld;
  std::thread reader([&] {
    std::lock_guard lock(port.PortLock);
    held = true;
    std::this_thread::sleep_for(200ms);
    seenWhileHeld = fake.CallsNamed({"CancelIoEx", "CloseHandle"});
  });
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  port.Close();
  reader.join();
  EXPECT_TRUE(seenWhileHeld.empty())
      << "the event thread was stopped under another holder: " << seenWhileHeld.front();
  EXPECT_FALSE(port.IsOpen());
}
