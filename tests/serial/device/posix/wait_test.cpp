// The termios back end's wait for received bytes, and its low-latency
// request, on pseudo-terminals.
#include <atomic>

#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

using Steady = std::chrono::steady_clock;

// Generous bound for "returned before its limit"; the limits below are far longer.
constexpr auto kWellBefore = 4s;

TEST_F(PosixSerialApiTest, TheWaitForReceivedBytesEndsWhenTheCountIsReached) {
  pty_.Send(Bytes{0x55, 0x11});
  ASSERT_EQ(WaitInQueue(2), 2u);
  JoinOnExit device{std::thread([this] {
    std::this_thread::sleep_for(100ms);
    pty_.Send(Bytes{0xAA});
  })};
  const auto t0 = Steady::now();
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 10'000'000));
  EXPECT_LT(Steady::now() - t0, kWellBefore) << "the third byte ends the wait";
  EXPECT_EQ(Status().cbInQue, 3u) << "the wait takes no byte";

  // Already there: no wait at all.
  const auto t1 = Steady::now();
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 10'000'000));
  EXPECT_LT(Steady::now() - t1, kWellBefore);
}

TEST_F(PosixSerialApiTest, TwoBytesWaitTheWholeLimit) {
  pty_.Send(Bytes{0x55, 0x11});
  ASSERT_EQ(WaitInQueue(2), 2u);
  const auto t0 = Steady::now();
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 300'000));
  EXPECT_GE(Steady::now() - t0, 300ms) << "two bytes are not three";
  EXPECT_EQ(Status().cbInQue, 2u);

  // A limit already reached does not wait.
  const auto t1 = Steady::now();
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 0));
  EXPECT_LT(Steady::now() - t1, kWellBefore);
}

TEST_F(PosixSerialApiTest, ClosingThePortEndsAWaitForReceivedBytes) {
  JoinOnExit closer{std::thread([this] {
    std::this_thread::sleep_for(100ms);
    api_.CloseHandle(h_);
  })};
  const auto t0 = Steady::now();
  api_.WaitForReceived(h_, 3, 10'000'000);
  EXPECT_LT(Steady::now() - t0, kWellBefore) << "a close wakes the waiter";
  closer.thread.join();
  h_ = kInvalidHandle;
  EXPECT_FALSE(api_.WaitForReceived(h_, 3, 1000));
  EXPECT_EQ(LastError(), Errno(EBADF));
}

TEST_F(PosixSerialApiTest, AHangUpEndsAWaitForReceivedBytes) {
  pty_.Send(Bytes{0x55});
  ASSERT_EQ(WaitInQueue(1), 1u);
  JoinOnExit device{std::thread([this] {
    std::this_thread::sleep_for(100ms);
    pty_.HangUp();
  })};
  const auto t0 = Steady::now();
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 10'000'000));
  EXPECT_LT(Steady::now() - t0, kWellBefore) << "nothing more can come from a hung-up line";
  EXPECT_EQ(Status().cbInQue, 1u) << "what came before the hang-up stays readable";
}

TEST_F(PosixSerialApiTest, TwoWaitersForBytesBothEndWhenTheyArrive) {
  // Both sleep on the one arrival notice.
  std::atomic<int> ended{0};
  auto waiter = [&] {
    if (api_.WaitForReceived(h_, 3, 10'000'000)) ++ended;
  };
  const auto t0 = Steady::now();
  JoinOnExit first{std::thread(waiter)};
  JoinOnExit second{std::thread(waiter)};
  std::this_thread::sleep_for(100ms);
  pty_.Send(Bytes{1, 2, 3});
  first.thread.join();
  second.thread.join();
  EXPECT_EQ(ended.load(), 2);
  EXPECT_LT(Steady::now() - t0, kWellBefore) << "neither waits out its limit";
  EXPECT_EQ(Status().cbInQue, 3u);
}

TEST_F(PosixSerialApiTest, BytesTheWaiterTakesRaiseTheReceiveEvent) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  JoinOnExit device{std::thread([this] {
    std::this_thread::sleep_for(100ms);
    pty_.Send(Bytes{0x55, 0x11, 0xAA});
  })};
  EXPECT_TRUE(api_.WaitForReceived(h_, 3, 10'000'000));
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, kEvRxChar);
}

TEST_F(PosixSerialApiTest, BytesArrivingAfterAWaitAreStillTaken) {
  {
    // A byte at a time, each its own arrival, two of them too few.
    JoinOnExit device{std::thread([this] {
      for (std::uint8_t b = 1; b <= 3; ++b) {
        std::this_thread::sleep_for(20ms);
        pty_.Send(Bytes{b});
      }
    })};
    ASSERT_TRUE(api_.WaitForReceived(h_, 3, 10'000'000));
  }
  // No one waits now: the port's thread still takes what comes next.
  pty_.Send(Bytes{4, 5});
  EXPECT_EQ(WaitInQueue(5), 5u);
  EXPECT_EQ(ReadAll(), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(PosixSerialApiTest, APseudoTerminalRefusesLowLatencyAndStillWorks) {
  const int refusal = api_.LowLatencyRefusal(h_);
  EXPECT_TRUE(refusal == ENOTTY || refusal == EINVAL || refusal == ENOTSUP)
      << "a pseudo-terminal has no serial driver to ask: " << refusal;
  pty_.Send(Bytes{1, 2, 3});
  EXPECT_EQ(WaitInQueue(3), 3u);
  EXPECT_EQ(api_.LowLatencyRefusal(kInvalidHandle), -1);
}

}  // namespace
}  // namespace serial::posixtest
