// The communication events of an open line, with no device behind them: the
// mask, the events seen and reported, the modem lines, the driver's error
// counters, the owed transmit-empty event and the hang-up.
#include <sys/ioctl.h>

#include "serial/device/posix/LineEvents.h"
#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

using posix::DriverCounts;
using posix::LineEvents;
using posix::RequestTable;

class LineEventsTest : public ::testing::Test {
 protected:
  void TearDown() override { requests_.AbortAll(kErrorOperationAborted); }

  // Starts a wait that has to stay outstanding.
  void StartWait() {
    ASSERT_EQ(events_.Wait(&mask_, &e_.ov, false), kErrorIoPending);
    ASSERT_FALSE(e_.event.IsSignaled());
  }

  RequestTable requests_;
  LineEvents events_{requests_};
  Request e_;
  std::uint32_t mask_ = 0xFFFF;
};

TEST_F(LineEventsTest, OnlyEventsInTheMaskAreSeenAndAWaitTakesThemAtOnce) {
  events_.SetMask(kEvRxChar | kEvBreak);
  events_.Raise(kEvRxChar | kEvCts);
  ASSERT_EQ(events_.Wait(&mask_, &e_.ov, false), 0u) << "events already seen end the wait at once";
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(mask_, kEvRxChar);
  // Reported once.
  StartWait();
  events_.Raise(kEvCts);
  EXPECT_FALSE(e_.event.IsSignaled()) << "outside the mask";
  events_.Raise(kEvBreak);
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(mask_, kEvBreak);
}

TEST_F(LineEventsTest, ANewMaskForgetsWhatWasSeenAndEndsTheWaitWithNoEvents) {
  events_.SetMask(kEvRxChar);
  StartWait();
  events_.SetMask(kEvRxChar | kEvErr);
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(RequestTable::Result(&e_.ov, nullptr), 0u);
  EXPECT_EQ(mask_, 0u);

  events_.Raise(kEvRxChar);
  events_.SetMask(kEvErr);
  events_.SetMask(kEvRxChar);
  StartWait();  // the character seen before the new mask is forgotten
}

TEST_F(LineEventsTest, AWaitIsRefusedWhereThePlatformRefusesIt) {
  EXPECT_EQ(events_.Wait(&mask_, &e_.ov, false), Errno(EINVAL)) << "no mask";
  events_.SetMask(kEvRxChar);
  StartWait();
  Request other;
  EXPECT_EQ(events_.Wait(&mask_, &other.ov, false), Errno(EINVAL)) << "one wait at a time";
  requests_.Cancel(&e_.ov);
  // A line that hung up: what was seen is still reported, then nothing
  // more will come.
  events_.Raise(kEvRxChar);
  EXPECT_EQ(events_.Wait(&mask_, &other.ov, true), 0u);
  EXPECT_EQ(mask_, kEvRxChar);
  EXPECT_EQ(events_.Wait(&mask_, &other.ov, true), Errno(EIO));
}

TEST_F(LineEventsTest, ModemLineChangesRaiseTheirEventsAndARingOnlyAsItStarts) {
  events_.SetMask(LineEvents::kModemEvents);
  events_.SeeModemLines(TIOCM_CTS);
  events_.ModemLines(TIOCM_CTS);
  StartWait();  // nothing changed
  events_.ModemLines(TIOCM_DSR | TIOCM_CD);
  ASSERT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(mask_, kEvCts | kEvDsr | kEvRlsd);

  events_.ModemLines(TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
  ASSERT_EQ(events_.Wait(&mask_, &e_.ov, false), 0u);
  EXPECT_EQ(mask_, kEvRing);
  StartWait();
  events_.ModemLines(TIOCM_DSR | TIOCM_CD);
  EXPECT_FALSE(e_.event.IsSignaled()) << "the end of a ring is no event";
}

TEST_F(LineEventsTest, TheDriversCountersRaiseErrorFlagsAndEventsForWhatTheyAdded) {
  DriverCounts counts;
  counts.frame = 3;
  counts.breaks = 1;
  events_.SeeCounts(counts);
  EXPECT_EQ(events_.Count(counts), 0u) << "counts from before are not new";
  EXPECT_EQ(events_.TakeErrors(), 0u);

  counts.frame = 4;
  counts.parity = 1;
  EXPECT_EQ(events_.Count(counts), kEvErr);
  counts.breaks = 2;
  counts.overrun = 1;
  counts.bufferOverrun = 1;
  EXPECT_EQ(events_.Count(counts), kEvErr | kEvBreak);
  EXPECT_EQ(events_.TakeErrors(), kCeFrame | kCeRxParity | kCeBreak | kCeOverrun | kCeRxOver);
  EXPECT_EQ(events_.TakeErrors(), 0u) << "the flags are cleared by the look";
  EXPECT_EQ(events_.Count(counts), 0u);
}

TEST_F(LineEventsTest, TransmitEmptyIsOwedAfterTheLastWriteAndRaisedOnceTheDriverDrained) {
  events_.OweTxEmpty();
  EXPECT_FALSE(events_.TxEmptyDue()) << "not asked for: nothing is owed";

  events_.SetMask(kEvTxEmpty);
  events_.OweTxEmpty();
  EXPECT_TRUE(events_.TxEmptyDue());
  // A write still outstanding: not yet.
  Request w;
  const std::uint8_t data[4] = {};
  requests_.BeginWrite(&w.ov, data, 4, 0);
  EXPECT_FALSE(events_.TxEmptyDue());
  EXPECT_EQ(events_.TxQueue(0, 115200), -1);
  requests_.AbortWrites(kErrorOperationAborted);

  StartWait();
  // 1152 bytes at 115200 baud take 100 ms: looked at again within the bound.
  EXPECT_EQ(events_.TxQueue(1152, 115200), LineEvents::kTxDrainPollMaxMs);
  EXPECT_EQ(events_.TxQueue(10, 9600), 11);
  EXPECT_EQ(events_.TxQueue(10, 0), 11) << "no rate: taken as 9600";
  EXPECT_EQ(events_.TxQueue(1, 1'000'000), 1);
  EXPECT_FALSE(e_.event.IsSignaled());
  EXPECT_EQ(events_.TxQueue(0, 115200), -1);
  ASSERT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(mask_, kEvTxEmpty);
  EXPECT_FALSE(events_.TxEmptyDue()) << "raised once";

  // A driver that cannot tell counts as drained.
  events_.OweTxEmpty();
  EXPECT_EQ(events_.TxQueue(-1, 115200), -1);
  EXPECT_FALSE(events_.TxEmptyDue());
}

TEST_F(LineEventsTest, AHangUpEndsTheWaitWithAnIoErrorAndForgetsTheOwedEvent) {
  events_.SetMask(kEvRxChar | kEvTxEmpty);
  events_.OweTxEmpty();
  StartWait();
  events_.HangUp();
  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(RequestTable::Result(&e_.ov, nullptr), Errno(EIO));
  EXPECT_FALSE(events_.TxEmptyDue());
  EXPECT_EQ(events_.TakeErrors(), LineEvents::kCeIoError);
}

}  // namespace
}  // namespace serial::posixtest
