// The kernel32 back end's wait for received bytes on a real COM port: it
// sleeps on the line's arrival notices (the caller's event wait, else one of
// its own), never holds two event waits on the handle, and ends at once when
// the port closes or an interruption ends every wait. Also the error kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "serial/device/win32/Win32SerialApi.h"
#include "tests/serial/device/win32/ComPortFixture.h"
#include "tests/support/win32/WineCheck.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::Request;

namespace {

const std::vector<std::uint8_t> kHandshake{0x33, 0x33};

using Clock = std::chrono::steady_clock;

class Win32ReceiveWait : public testsupport::ComPortTest {
 protected:
  void SetUp() override {
    ComPortTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(api.SetCommMask(h, kEvRxChar | kEvErr));
  }
  std::uint32_t Queued() {
    TComStat stat{};
    std::uint32_t errors = 0;
    EXPECT_TRUE(api.ClearCommError(h, &errors, &stat));
    return stat.cbInQue;
  }
  // Takes what is queued.
  void Drain() {
    std::uint8_t buf[64];
    Request r;
    std::uint32_t n = 0;
    api.ReadFile(h, buf, sizeof buf, &n, &r.ov);
  }
  // Writes the handshake while a wait for its reply sleeps, as in an upload
  // (under Wine the wait then sleeps on a read of its own).
  bool WaitWhileTheReplyComes() {
    auto waiting =
        std::async(std::launch::async, [&] { return api.WaitForReceived(h, 3, 5'000'000); });
    std::this_thread::sleep_for(100ms);
    Write(kHandshake);
    return waiting.get();
  }
  // The events of the caller's next event wait, which must end within 2 s.
  void NextEvents(std::uint32_t& mask) {
    Request r;
    if (api.WaitCommEvent(h, &mask, &r.ov)) return;
    ASSERT_EQ(api.GetLastError(), kErrorIoPending);
    ASSERT_TRUE(r.Signalled(2000)) << "bytes are queued: the wait must tell of them";
    std::uint32_t ignored = 0;
    ASSERT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false))
        << "error " << api.GetLastError();
  }
  double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  }
};

}  // namespace

TEST_F(Win32ReceiveWait, EndsWhenTheReplyIsQueuedAndHandsItsEventsToTheNextEventWait) {
  Write(kHandshake);
  const auto t0 = Clock::now();
  ASSERT_TRUE(api.WaitForReceived(h, 3, 5'000'000)) << "error " << api.GetLastError();
  EXPECT_LT(Seconds(t0), 2.0);
  EXPECT_GE(Queued(), 3u);
  // With no event wait of the caller's outstanding, the back end waited on
  // one of its own: the caller's next wait is told of the arrival at once
  // and does not fail for a second wait on the handle.
  std::uint32_t mask = 0;
  NextEvents(mask);
  EXPECT_TRUE(mask & kEvRxChar) << mask;
  Drain();
}

TEST_F(Win32ReceiveWait, SleepsBesideTheCallersOutstandingEventWait) {
  // As the port's event thread holds one while the reply is awaited.
  Request r;
  std::uint32_t mask = 0;
  ASSERT_FALSE(api.WaitCommEvent(h, &mask, &r.ov)) << "nothing is queued: the wait must pend";
  ASSERT_EQ(api.GetLastError(), kErrorIoPending);
  Write(kHandshake);
  ASSERT_TRUE(api.WaitForReceived(h, 3, 5'000'000)) << "error " << api.GetLastError();
  EXPECT_GE(Queued(), 3u);
  std::uint32_t ignored = 0;
  if (!testsupport::RunningUnderWine()) {
    // The wait slept on the caller's, which the driver ends as the bytes come.
    ASSERT_TRUE(r.Signalled(2000));
    EXPECT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false))
        << "the caller's wait is its own: error " << api.GetLastError();
    EXPECT_TRUE(mask & kEvRxChar) << mask;
    Drain();
    return;
  }
  // Under Wine the wait may have taken the reply off the line with a read of
  // its own, which the caller's outstanding wait does not see. Its arrival
  // is then the caller's next wait's, once the caller has ended this one.
  if (!r.Signalled(0)) {
    ASSERT_TRUE(api.CancelIoEx(h, &r.ov));
  }
  if (!(mask & kEvRxChar)) NextEvents(mask);
  EXPECT_TRUE(mask & kEvRxChar) << mask;
  Drain();
}

// The reply comes while the wait sleeps, as in an upload: under Wine the
// wait sleeps on a read of its own, which takes the bytes off the line.
TEST_F(Win32ReceiveWait, BytesThatComeDuringTheWaitStayQueuedAndAreReadInOrder) {
  ASSERT_TRUE(WaitWhileTheReplyComes()) << "error " << api.GetLastError();
  if (testsupport::RunningUnderWine()) {
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(::ClearCommError(reinterpret_cast<HANDLE>(h), &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u) << "Wine's event wait ends late: a read must have taken the reply";
  }
  EXPECT_EQ(Queued(), 3u) << "bytes the wait took count as queued";
  std::uint8_t first = 0;
  std::uint8_t rest[8] = {};
  std::uint32_t n = 0;
  Request r1;
  ASSERT_TRUE(api.ReadFile(h, &first, 1, &n, &r1.ov));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(first, 0x55);
  EXPECT_EQ(r1.ov.LoadStatus(), 0u) << "a read that completed at once has its final status";
  EXPECT_EQ(r1.ov.LoadTransferred(), 1u);
  Request r2;
  ASSERT_TRUE(api.ReadFile(h, rest, sizeof rest, &n, &r2.ov));
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(rest[0], 0x33);
  EXPECT_EQ(rest[1], 0xAA);
  EXPECT_EQ(Queued(), 0u);
  // Nothing of the wait is left outstanding: the next reply comes whole.
  Write(kHandshake);
  ASSERT_TRUE(api.WaitForReceived(h, 3, 5'000'000));
  Request r3;
  ASSERT_TRUE(api.ReadFile(h, rest, sizeof rest, &n, &r3.ov));
  EXPECT_EQ(n, 3u);
}

TEST_F(Win32ReceiveWait, APurgeOfTheReceiveDirectionDropsWhatTheWaitTook) {
  ASSERT_TRUE(WaitWhileTheReplyComes());
  ASSERT_TRUE(api.PurgeComm(h, kPurgeRxAbort | kPurgeRxClear));
  EXPECT_EQ(Queued(), 0u);
  std::uint8_t buf[8];
  std::uint32_t n = 99;
  Request r;
  ASSERT_TRUE(api.ReadFile(h, buf, sizeof buf, &n, &r.ov));
  EXPECT_EQ(n, 0u) << "the purged reply must not be read";
  // A purge of the transmit direction alone keeps them.
  Write(kHandshake);
  ASSERT_TRUE(api.WaitForReceived(h, 3, 5'000'000));
  ASSERT_TRUE(api.PurgeComm(h, kPurgeTxAbort | kPurgeTxClear));
  EXPECT_EQ(Queued(), 3u);
  Drain();
}

TEST_F(Win32ReceiveWait, AnArrivalTheWaitTookIsToldToTheCallersNextEventWait) {
  ASSERT_TRUE(WaitWhileTheReplyComes());
  std::uint32_t mask = 0;
  NextEvents(mask);
  EXPECT_TRUE(mask & kEvRxChar) << mask;
  Drain();
}

TEST_F(Win32ReceiveWait, RunsToItsLimitWhenNothingComesAndTheCallerCanWaitAfterIt) {
  const auto t0 = Clock::now();
  ASSERT_TRUE(api.WaitForReceived(h, 3, 300'000));
  const double waited = Seconds(t0);
  EXPECT_GE(waited, 0.29);
  EXPECT_LT(waited, 1.5);
  // Its own wait may still be outstanding: the caller's takes its place.
  Request r;
  std::uint32_t mask = 0;
  ASSERT_FALSE(api.WaitCommEvent(h, &mask, &r.ov)) << "nothing came: the wait must pend";
  ASSERT_EQ(api.GetLastError(), kErrorIoPending);
  Write(kHandshake);
  ASSERT_TRUE(r.Signalled(3000)) << "the caller's wait sees the arrival";
  std::uint32_t ignored = 0;
  EXPECT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false)) << "error " << api.GetLastError();
  ASSERT_TRUE(api.CancelIoEx(h, &r.ov));
  ASSERT_TRUE(api.WaitForReceived(h, 3, 5'000'000));
  Drain();
}

TEST_F(Win32ReceiveWait, AnInterruptionEndsAWaitAtOnceAndEveryLaterOne) {
  auto waiting = std::async(std::launch::async, [&] {
    const auto t0 = Clock::now();
    const bool ok = api.WaitForReceived(h, 3, 10'000'000);
    return std::make_tuple(ok, api.GetLastError(), Seconds(t0));
  });
  std::this_thread::sleep_for(200ms);
  api.EndReceiveWaits();
  const auto [ok, error, waited] = waiting.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, kErrorOperationAborted);
  EXPECT_LT(waited, 1.0) << "the wait must end at once, not at its limit";
  EXPECT_FALSE(api.WaitForReceived(h, 3, 10'000'000)) << "a later wait ends at once too";
  api.ResumeReceiveWaits();
  EXPECT_TRUE(api.WaitForReceived(h, 3, 50'000));
}

TEST_F(Win32ReceiveWait, ClosingThePortEndsAWaitOnAnotherThread) {
  auto waiting = std::async(std::launch::async, [&] {
    const auto t0 = Clock::now();
    api.WaitForReceived(h, 3, 10'000'000);
    return Seconds(t0);
  });
  std::this_thread::sleep_for(200ms);
  const auto t0 = Clock::now();
  EXPECT_TRUE(api.CloseHandle(h));
  EXPECT_LT(Seconds(t0), 1.0);
  h = kInvalidHandle;
  EXPECT_LT(waiting.get(), 1.5);
  EXPECT_FALSE(api.WaitForReceived(h, 3, 1000)) << "a closed port is not waited on";
}

TEST(Win32Api, ErrorKindsOfTheCodesAComPortGives) {
  Win32SerialApi api;
  // At an open (COM9 is missing): another program's hold, a missing device.
  ASSERT_EQ(
      api.CreateFileA("\\\\.\\COM9", kGenericReadWrite, 0, kOpenExisting, kFileFlagOverlapped),
      kInvalidHandle);
  EXPECT_EQ(api.ErrorKindOf(2), TErrorKind::ekNotFound);
  EXPECT_EQ(api.ErrorKindOf(3), TErrorKind::ekNotFound);
  EXPECT_EQ(api.ErrorKindOf(5), TErrorKind::ekBusy);  // held by another program
  EXPECT_EQ(api.ErrorKindOf(32), TErrorKind::ekBusy);
  EXPECT_EQ(api.ErrorKindOf(121), TErrorKind::ekNotFound);  // a Bluetooth port, device away
  EXPECT_EQ(api.ErrorKindOf(87), TErrorKind::ekOther);
  // On an open port (any other call): the line went away.
  TComStat stat{};
  std::uint32_t errors = 0;
  EXPECT_FALSE(api.ClearCommError(kInvalidHandle, &errors, &stat));
  EXPECT_EQ(api.ErrorKindOf(5), TErrorKind::ekHungUp);  // an adapter unplugged mid-run
  EXPECT_EQ(api.ErrorKindOf(121), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(1617), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(995), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(1167), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(31), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(22), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(21), TErrorKind::ekHungUp);
  EXPECT_EQ(api.ErrorKindOf(32), TErrorKind::ekBusy);
  EXPECT_EQ(api.ErrorKindOf(87), TErrorKind::ekOther);
}
