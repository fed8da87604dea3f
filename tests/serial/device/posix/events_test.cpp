// The termios back end on pseudo-terminals: communication events and the
// requests that wait for them.
#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

// ---- Events and requests ----------------------------------------------

TEST_F(PosixSerialApiTest, WaitCommEventReportsEachArrivalOnce) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_EQ(e_.ov.LoadStatus(), kStatusPending);
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);

  pty_.Send("12345");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_EQ(Status().cbInQue, 5u);

  // The bytes stay queued, and are not announced again.
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_FALSE(e_.event.WaitFor(200));
  EXPECT_EQ(Status().cbInQue, 5u);

  // New bytes are.
  pty_.Send("6");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_EQ(WaitInQueue(6), 6u);
}

TEST_F(PosixSerialApiTest, EventsWaitForTheNextRequest) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  pty_.Send("a");
  ASSERT_EQ(WaitInQueue(1), 1u);

  std::uint32_t mask = 0;
  ASSERT_TRUE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), 0u);

  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(LastError(), kErrorIoPending);
  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
}

TEST_F(PosixSerialApiTest, EventCharacterRaisesRxFlagOnly) {
  TDCB dcb = PortDcb();
  dcb.EvtChar = '\n';
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxFlag));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  pty_.Send("abc");  // characters, but the mask does not ask for them
  ASSERT_EQ(WaitInQueue(3), 3u);
  EXPECT_FALSE(e_.event.WaitFor(20));

  pty_.Send("d\n");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxFlag);
}

TEST_F(PosixSerialApiTest, SetCommMaskEndsAnOutstandingWaitWithNoEvents) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0xDEAD;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar));
  EXPECT_TRUE(e_.event.IsSignaled());
  std::uint32_t n = 0;
  EXPECT_TRUE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(mask, 0u);

  EXPECT_TRUE(api_.SetCommMask(h_, 0));
  EXPECT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));  // nothing to wait for
  EXPECT_EQ(LastError(), Errno(EINVAL));
}

TEST_F(PosixSerialApiTest, CancelIoExEndsTheOutstandingWait) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);

  Request second;
  std::uint32_t secondMask = 0;
  EXPECT_FALSE(api_.WaitCommEvent(h_, &secondMask, &second.ov));  // one wait at a time
  EXPECT_EQ(LastError(), Errno(EINVAL));

  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), kErrorOperationAborted);
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, true));
  EXPECT_EQ(LastError(), kErrorOperationAborted);
  EXPECT_TRUE(api_.CancelIoEx(h_, &e_.ov));  // already ended: still true

  // The next wait sees the next arrival.
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  pty_.Send("x");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
}

TEST_F(PosixSerialApiTest, IdlePortUsesNoProcessorTime) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(ProcessCpuMs() - before, 50.0);
  ASSERT_TRUE(api_.CancelIoEx(h_, &e_.ov));
}

TEST_F(PosixSerialApiTest, ModemLineEventsOnALineWithoutModemLinesAreNoError) {
  // A pseudo-terminal has no modem lines: the mask is taken, nothing is
  // reported for them, and received characters still are.
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvCts | kEvDsr | kEvRlsd | kEvRing));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_FALSE(e_.event.WaitFor(100));
  pty_.Send("m");
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
}

// Transmit-empty comes once all written bytes have left for the line, not
// when a write is handed over.
TEST_F(PosixSerialApiTest, TxEmptyComesWhenEverythingIsOut) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvTxEmpty));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  const Bytes data(64 * 1024, 'q');
  std::uint32_t n = 0;
  CancelOnExit cancel{api_, h_};
  ASSERT_FALSE(
      api_.WriteFile(h_, data.data(), static_cast<std::uint32_t>(data.size()), &n, &w_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_FALSE(e_.event.WaitFor(100)) << "nothing is empty while the write waits for room";

  JoinOnExit reader;
  reader.thread = std::thread([&] { pty_.Receive(data.size(), 10s); });
  ASSERT_TRUE(e_.event.WaitFor(5000));
  EXPECT_TRUE(w_.event.IsSignaled()) << "the write ended first";
  EXPECT_EQ(mask, kEvTxEmpty);
  reader.thread.join();

  // A write the line takes whole at once is empty at once.
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  ASSERT_TRUE(api_.WriteFile(h_, "xy", 2, &n, &w_.ov));
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvTxEmpty);
  pty_.Drain(20ms);
}

}  // namespace
}  // namespace serial::posixtest
