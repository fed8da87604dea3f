// The termios back end on pseudo-terminals: bytes both ways, flow control,
// purges and the receive queue.
#include <poll.h>

#include "tests/serial/device/posix/SerialApiFixture.h"

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

// A full queue takes nothing more from the line: the rest waits in the
// driver, nothing is lost, and no overrun is reported.
TEST_F(PosixSerialApiTest, FullReceiveQueueLeavesTheRestWithTheDriver) {
  ASSERT_TRUE(api_.SetupComm(h_, 16, 16));
  const std::string sent = "abcdefghijklmnopqrst";
  pty_.Send(sent);
  ASSERT_EQ(WaitInQueue(16), 16u);
  std::this_thread::sleep_for(50ms);
  std::uint32_t errors = 0xFF;
  TComStat s{};
  ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(s.cbInQue, 16u);
  Bytes got = ReadAll();
  ASSERT_EQ(WaitInQueue(4), 4u);  // taken once there was room
  const Bytes rest = ReadAll();
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, Bytes(sent.begin(), sent.end()));
}

// Because the queue stops taking bytes, the driver's buffer fills and the
// sender is held back (on a pseudo-terminal its writes stop being taken).
TEST_F(PosixSerialApiTest, AFullQueueHoldsTheSenderBack) {
  ASSERT_TRUE(api_.SetupComm(h_, 64, 16));
  const int master = pty_.MasterFd();
  const int flags = ::fcntl(master, F_GETFL);
  ASSERT_EQ(::fcntl(master, F_SETFL, flags | O_NONBLOCK), 0);
  Bytes sent;
  bool held = false;
  while (sent.size() < (4u << 20)) {
    Bytes piece(1024);
    for (std::size_t k = 0; k < piece.size(); ++k)
      piece[k] = static_cast<std::uint8_t>((sent.size() + k) * 13 / 7);
    const ssize_t n = ::write(master, piece.data(), piece.size());
    if (n > 0) {
      sent.insert(sent.end(), piece.begin(), piece.begin() + n);
      continue;
    }
    ASSERT_TRUE(n < 0 && errno == EAGAIN) << std::strerror(errno);
    pollfd p{master, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) {
      held = true;  // no room for 200 ms: the line holds the sender
      break;
    }
  }
  ::fcntl(master, F_SETFL, flags);
  ASSERT_TRUE(held) << sent.size() << " bytes were taken without a pause";
  EXPECT_LT(sent.size(), 1u << 20);

  // Everything held back arrives, in order, without an overrun.
  Bytes got;
  std::uint32_t seen = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t errors = 0;
    TComStat s{};
    ASSERT_TRUE(api_.ClearCommError(h_, &errors, &s));
    seen |= errors;
    EXPECT_LE(s.cbInQue, 64u);
    const Bytes in = ReadAll();
    got.insert(got.end(), in.begin(), in.end());
    if (in.empty()) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
}

// With input flow control the queue stops XoffLim bytes short of full and
// takes again once no more than XonLim bytes wait.
TEST_F(PosixSerialApiTest, InputFlowControlHoldsAtTheLimits) {
  ASSERT_TRUE(api_.SetupComm(h_, 32, 16));
  TDCB dcb = PortDcb();
  dcb.Flags = kDcbBinary | kDcbInX | kDcbTxContinueOnXoff;
  dcb.XoffLim = 8;
  dcb.XonLim = 4;
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  Bytes sent(40);
  std::iota(sent.begin(), sent.end(), 1);
  pty_.Send(sent);
  ASSERT_EQ(WaitInQueue(24), 24u);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Status().cbInQue, 24u) << "stops at 32 - XoffLim";

  Bytes got(40);
  std::uint32_t n = 0;
  ASSERT_TRUE(api_.ReadFile(h_, got.data(), 15, &n, &r_.ov));
  ASSERT_EQ(n, 15u);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Status().cbInQue, 9u) << "still above XonLim: nothing more is taken";
  ASSERT_TRUE(api_.ReadFile(h_, got.data() + 15, 5, &n, &r_.ov));
  ASSERT_EQ(n, 5u);
  ASSERT_EQ(WaitInQueue(20), 20u) << "at XonLim taking resumes";
  ASSERT_TRUE(api_.ReadFile(h_, got.data() + 20, 20, &n, &r_.ov));
  EXPECT_EQ(n, 20u);
  EXPECT_EQ(got, sent);
}

// A write completes when the line has taken all of it, never with part.
TEST_F(PosixSerialApiTest, AWriteNeverCompletesShort) {
  Bytes data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  Bytes received;
  JoinOnExit reader;
  CancelOnExit cancel{api_, h_};
  reader.thread = std::thread([&] { received = pty_.Receive(data.size(), 10s); });
  std::uint32_t n = 0;
  if (api_.WriteFile(h_, data.data(), static_cast<std::uint32_t>(data.size()), &n, &w_.ov)) {
    EXPECT_EQ(n, data.size());
  } else {
    ASSERT_EQ(LastError(), kErrorIoPending);
    ASSERT_TRUE(api_.GetOverlappedResult(h_, &w_.ov, &n, true)) << api_.ErrorText(LastError());
    EXPECT_EQ(n, data.size());
  }
  reader.thread.join();
  EXPECT_TRUE(received == data);
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
