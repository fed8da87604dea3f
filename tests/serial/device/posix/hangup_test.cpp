// The termios back end on pseudo-terminals: a line that hangs up, a close
// with requests outstanding, and stale handles.
#include <atomic>

#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

// ---- Hang-up, close, stale handles ---------------------------------------

TEST_F(PosixSerialApiTest, HangUpEndsRequestsAndLaterCallsFail) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  FillLine(w_, chunk_);
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  pty_.HangUp();
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  ASSERT_TRUE(w_.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  // The wait fails like the line's other requests: a status read in answer
  // to an event could only fail too.
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(LastError(), Errno(EIO));

  // The status tells of the failure once; with nothing left to read every
  // later status read fails at once, as it does for a removed adapter.
  std::uint32_t errors = 0;
  TComStat s{};
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, PosixSerialApi::kCeIoError);
  EXPECT_EQ(s.cbInQue, 0u);
  EXPECT_EQ(s.cbOutQue, 0u);
  EXPECT_FALSE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_FALSE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(LastError(), Errno(EIO));

  std::uint8_t byte = 0;
  EXPECT_FALSE(api_.ReadFile(h_, &byte, 1, &n, &r_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_FALSE(api_.WriteFile(h_, "z", 1, &n, &r_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  EXPECT_EQ(LastError(), Errno(EIO));
  EXPECT_TRUE(api_.EscapeCommFunction(h_, kResetDev));
  EXPECT_TRUE(api_.PurgeComm(h_, 15));

  // Nothing spins on the dead line.
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(200ms);
  EXPECT_LT(ProcessCpuMs() - before, 50.0);
  Close();
}

// Bytes that came before the hang-up can still be read; the status tells of
// the failure with them and fails once they are gone.
TEST_F(PosixSerialApiTest, HangUpKeepsWhatWasReceivedReadable) {
  pty_.Send("abc");
  ASSERT_EQ(WaitInQueue(3), 3u);
  pty_.HangUp();
  std::uint32_t errors = 0;
  TComStat s{};
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (errors == 0 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s)) << api_.ErrorText(LastError());
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(errors, PosixSerialApi::kCeIoError);
  EXPECT_EQ(s.cbInQue, 3u);
  EXPECT_EQ(ReadAll(), (Bytes{'a', 'b', 'c'}));
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));  // the first look at the empty line
  EXPECT_EQ(errors, 0u);
  EXPECT_FALSE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(LastError(), Errno(EIO));
  Close();
}

TEST_F(PosixSerialApiTest, HangUpFailsAWaitThatDoesNotAskForErrors) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar));
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));
  pty_.HangUp();
  ASSERT_TRUE(e_.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &e_.ov, &n, false));
  EXPECT_EQ(LastError(), Errno(EIO));
  Close();
}

TEST_F(PosixSerialApiTest, CloseHandleAbortsOutstandingRequests) {
  ASSERT_TRUE(api_.SetCommMask(h_, kEvRxChar | kEvErr));
  FillLine(w_, chunk_);
  std::uint32_t mask = 0;
  ASSERT_FALSE(api_.WaitCommEvent(h_, &mask, &e_.ov));

  // A thread waiting for the write's result is released by the close.
  const THandle h = h_;
  std::atomic<bool> started{false};
  bool waited = true;
  std::uint32_t waitError = 0;
  JoinOnExit waiter;
  waiter.thread = std::thread([&] {
    started = true;
    std::uint32_t n = 0;
    waited = api_.GetOverlappedResult(h, &w_.ov, &n, true);
    waitError = api_.GetLastError();
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(20ms);
  Close();
  waiter.thread.join();
  EXPECT_FALSE(waited);
  EXPECT_EQ(waitError, kErrorOperationAborted);

  EXPECT_TRUE(e_.event.IsSignaled());
  EXPECT_EQ(e_.ov.LoadStatus(), kErrorOperationAborted);
  EXPECT_TRUE(w_.event.IsSignaled());
  EXPECT_EQ(w_.ov.LoadStatus(), kErrorOperationAborted);
}

TEST_F(PosixSerialApiTest, StaleHandleReachesNothing) {
  const THandle old = h_;
  Close();
  TDCB dcb{};
  EXPECT_FALSE(api_.GetCommState(old, dcb));
  EXPECT_EQ(LastError(), Errno(EBADF));
  std::uint32_t errors = 0;
  EXPECT_FALSE(api_.ClearCommError(old, &errors, nullptr));
  EXPECT_EQ(LastError(), Errno(EBADF));
  EXPECT_FALSE(api_.CloseHandle(old));
  EXPECT_EQ(LastError(), Errno(EBADF));

  h_ = Open(pty_.SlavePath());
  ASSERT_NE(h_, kInvalidHandle);
  EXPECT_NE(h_, old);
  pty_.Send("k");
  ASSERT_EQ(WaitInQueue(1), 1u);
  EXPECT_FALSE(api_.PurgeComm(old, kPurgeRxClear));
  EXPECT_EQ(LastError(), Errno(EBADF));
  EXPECT_EQ(Status().cbInQue, 1u);
  EXPECT_FALSE(api_.CloseHandle(kInvalidHandle));
}

}  // namespace
}  // namespace serial::posixtest
