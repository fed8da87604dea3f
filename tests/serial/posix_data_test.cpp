// The termios back end on pseudo-terminals: bytes both ways, flow control,
// purges and the receive queue.
#include "tests/serial/PosixPortFixture.h"

namespace serial::posixtest {
namespace {

// ---- Data ---------------------------------------------------------------

TEST_F(PosixSerialApiTest, PassesAllByteValuesBothWays) {
  ASSERT_TRUE(api_.SetCommState(h_, PortDcb()));
  const Bytes bytes = AllByteValues();

  std::uint32_t n = 0;
  ASSERT_TRUE(api_.WriteFile(h_, bytes.data(), 256, &n, &w_.ov));
  EXPECT_EQ(n, 256u);
  EXPECT_TRUE(w_.event.IsSignaled());
  EXPECT_EQ(pty_.Receive(256, 2s), bytes);

  pty_.Send(bytes);
  ASSERT_EQ(WaitInQueue(256), 256u);
  Bytes in(300);
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 300, &n, &r_.ov));
  ASSERT_EQ(n, 256u);
  in.resize(n);
  EXPECT_EQ(in, bytes);
  EXPECT_TRUE(r_.event.IsSignaled());
  EXPECT_EQ(r_.ov.LoadTransferred(), 256u);

  // An empty queue completes a read at once with nothing.
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 1, &n, &r_.ov));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(r_.event.IsSignaled());
}

TEST_F(PosixSerialApiTest, WriteLargerThanTheLineBufferArrivesInOrder) {
  Bytes data(256 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);

  std::size_t sent = 0;
  bool wentPending = false;
  Bytes received;
  JoinOnExit reader;
  CancelOnExit cancel{api_, h_};
  while (sent < data.size()) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::size_t>(65536, data.size() - sent));
    std::uint32_t n = 0;
    if (api_.WriteFile(h_, data.data() + sent, chunk, &n, &w_.ov)) {
      ASSERT_GT(n, 0u);
      sent += n;
      continue;
    }
    ASSERT_EQ(LastError(), kErrorIoPending);
    if (!wentPending) {
      // Only now does the device side start reading: the rest must be
      // finished by the back end when the line has room again.
      wentPending = true;
      // Counted as waiting to go out (the back end may already have moved
      // part of it when the line made some room).
      const std::uint32_t outQueue = Status().cbOutQue;
      EXPECT_GT(outQueue, 0u);
      EXPECT_LE(outQueue, chunk);
      EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
      EXPECT_EQ(LastError(), kErrorIoIncomplete);
      reader.thread = std::thread([&] { received = pty_.Receive(data.size(), 10s); });
    }
    const bool ok = api_.GetOverlappedResult(h_, &w_.ov, &n, true);
    ASSERT_TRUE(ok) << api_.ErrorText(LastError());
    EXPECT_EQ(n, chunk);  // an outstanding write ends when all its bytes are out
    sent += n;
  }
  reader.thread.join();
  EXPECT_TRUE(wentPending);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(PosixSerialApiTest, XoffHoldsAWriteUntilXon) {
  ASSERT_TRUE(api_.EscapeCommFunction(h_, kSetXoff));
  std::uint32_t n = 0;
  ASSERT_FALSE(api_.WriteFile(h_, "abc", 3, &n, &w_.ov));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_TRUE(pty_.Receive(3, 50ms).empty());

  ASSERT_TRUE(api_.EscapeCommFunction(h_, kSetXon));
  ASSERT_TRUE(w_.event.WaitFor(kMustHappenMs));
  ASSERT_TRUE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(pty_.Receive(3, 2s), (Bytes{'a', 'b', 'c'}));
}

TEST_F(PosixSerialApiTest, EscapeCommFunctionWithoutModemLinesSucceeds) {
  for (const std::uint32_t code :
       {kSetRts, kClrRts, kSetDtr, kClrDtr, kSetBreak, kClrBreak, kResetDev}) {
    EXPECT_TRUE(api_.EscapeCommFunction(h_, code)) << code << ": " << api_.ErrorText(LastError());
  }
  for (const std::uint32_t code : {0u, 10u, 42u}) {
    EXPECT_FALSE(api_.EscapeCommFunction(h_, code)) << code;
    EXPECT_EQ(LastError(), Errno(EINVAL));
  }
}

TEST_F(PosixSerialApiTest, PurgeRxClearEmptiesTheReceiveQueue) {
  pty_.Send("12345");
  ASSERT_EQ(WaitInQueue(5), 5u);
  ASSERT_TRUE(api_.PurgeComm(h_, kPurgeRxAbort | kPurgeRxClear));
  EXPECT_EQ(Status().cbInQue, 0u);
  EXPECT_TRUE(ReadAll().empty());

  pty_.Send("6");
  ASSERT_EQ(WaitInQueue(1), 1u);
  EXPECT_EQ(ReadAll(), Bytes{'6'});

  EXPECT_FALSE(api_.PurgeComm(h_, 0x10));
  EXPECT_EQ(LastError(), Errno(EINVAL));
}

TEST_F(PosixSerialApiTest, PurgeTxAbortEndsTheOutstandingWrite) {
  FillLine(w_, chunk_);
  ASSERT_EQ(w_.ov.LoadStatus(), kStatusPending);

  ASSERT_TRUE(api_.PurgeComm(h_, kPurgeTxAbort | kPurgeTxClear));
  EXPECT_TRUE(w_.event.IsSignaled());
  std::uint32_t n = 0;
  EXPECT_FALSE(api_.GetOverlappedResult(h_, &w_.ov, &n, false));
  EXPECT_EQ(LastError(), kErrorOperationAborted);
  EXPECT_LT(Status().cbOutQue, chunk_.size());

  // Writing goes on normally afterwards.
  pty_.Drain(20ms);
  ASSERT_TRUE(api_.WriteFile(h_, "ok", 2, &n, &w_.ov));
  EXPECT_EQ(pty_.Receive(2, 2s), (Bytes{'o', 'k'}));
}

TEST_F(PosixSerialApiTest, FullReceiveQueueDropsBytesAndFlagsOverrun) {
  ASSERT_TRUE(api_.SetupComm(h_, 16, 16));
  pty_.Send(std::string(20, 'x'));

  std::uint32_t seen = 0;
  TComStat s{};
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!(seen & kCeRxOver) && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t errors = 0;
    ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
    seen |= errors;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(seen, kCeRxOver);
  EXPECT_EQ(s.cbInQue, 16u);
  std::uint32_t errors = 0xFF;
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, 0u);  // reported once
  EXPECT_EQ(ReadAll(), Bytes(16, 'x'));
}

TEST_F(PosixSerialApiTest, ReceiveQueueKeepsOrderAcrossItsEnd) {
  ASSERT_TRUE(api_.SetupComm(h_, 16, 16));
  pty_.Send("0123456789");
  ASSERT_EQ(WaitInQueue(10), 10u);
  Bytes in(6);
  std::uint32_t n = 0;
  ASSERT_TRUE(api_.ReadFile(h_, in.data(), 6, &n, &r_.ov));
  EXPECT_EQ(in, (Bytes{'0', '1', '2', '3', '4', '5'}));
  pty_.Send("abcdefghij");
  ASSERT_EQ(WaitInQueue(14), 14u);
  // A new size keeps what is queued.
  ASSERT_TRUE(api_.SetupComm(h_, 8, 16));
  EXPECT_EQ(Status().cbInQue, 14u);
  const std::string expected = "6789abcdefghij";
  EXPECT_EQ(ReadAll(), Bytes(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace serial::posixtest
