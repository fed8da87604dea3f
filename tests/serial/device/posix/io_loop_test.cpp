// The I/O side of an open line over a socket pair instead of a terminal:
// bytes taken into the receive queue and the arrival notice, the hold level,
// writes the line cannot take at once, and the hang-up.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <future>
#include <memory>

#include "serial/device/posix/IoLoop.h"
#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

using framework::UniqueFd;
using posix::IoLoop;
using posix::LineEvents;
using posix::RequestTable;
using Steady = std::chrono::steady_clock;

class IoLoopTest : public ::testing::Test {
 protected:
  template <typename F>
  auto Locked(F&& f) {
    std::lock_guard lock(m_);
    return f();
  }

  void SetUp() override {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ASSERT_EQ(::fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    peer_ = UniqueFd(sv[1]);
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    dcb_.DCBlength = sizeof dcb_;
    dcb_.BaudRate = 115200;
    dcb_.Flags = kDcbBinary;
    dcb_.ByteSize = 8;
    loop_ = std::make_unique<IoLoop>(m_, UniqueFd(sv[0]), UniqueFd(p[0]), UniqueFd(p[1]), dcb_,
                                     requests_, events_);
    Locked([&] { loop_->SetQueueLimit(4096); });
    loop_->Start();
  }
  void TearDown() override {
    Locked([&] { requests_.AbortAll(kErrorOperationAborted); });
    loop_.reset();
  }

  std::size_t Queued() {
    return Locked([&] { return loop_->Queued(); });
  }
  // Waits until n bytes are queued (or 2 s); returns the count.
  std::size_t WaitQueued(std::size_t n) {
    const auto deadline = Steady::now() + std::chrono::milliseconds(kMustHappenMs);
    while (Queued() < n && Steady::now() < deadline) std::this_thread::sleep_for(1ms);
    return Queued();
  }
  Bytes Take(std::size_t n) {
    Bytes out(n);
    out.resize(Locked([&] { return loop_->Take(out.data(), n); }));
    return out;
  }
  void Send(const Bytes& b) {
    ASSERT_EQ(::write(peer_.Get(), b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // Bytes the loop left on its side of the line.
  int LeftOnTheLine() {
    int n = -1;
    const int fd = Locked([&] { return loop_->Fd(); });
    EXPECT_EQ(::ioctl(fd, FIONREAD, &n), 0);
    return n;
  }
  // A wait for count bytes with a long limit, on a thread of its own.
  std::future<void> WaitFor(std::size_t count) {
    return std::async(std::launch::async, [this, count] {
      std::unique_lock lock(m_);
      loop_->WaitReceived(lock, count, Steady::now() + 10s);
    });
  }

  std::mutex m_;
  RequestTable requests_;
  LineEvents events_{requests_};
  TDCB dcb_{};
  UniqueFd peer_;
  // Records of requests: they outlive the thread that signals their events.
  Request e_;
  Request w_;
  Request again_;
  std::unique_ptr<IoLoop> loop_;
};

TEST_F(IoLoopTest, ReceivedBytesAreQueuedRaiseTheirEventsAndEndAWaitForThem) {
  Locked([&] {
    events_.SetMask(kEvRxChar | kEvRxFlag);
    dcb_.EvtChar = 0x7E;
  });
  Request& e = e_;
  std::uint32_t mask = 0;
  ASSERT_EQ(Locked([&] { return events_.Wait(&mask, &e.ov, false); }), kErrorIoPending);
  auto waiter = WaitFor(3);
  std::this_thread::sleep_for(50ms);
  Send(Bytes{1, 2});
  ASSERT_TRUE(e.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(mask, kEvRxChar);
  EXPECT_NE(waiter.wait_for(100ms), std::future_status::ready) << "two bytes are not three";
  const auto t0 = Steady::now();
  Send(Bytes{0x7E});
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kMustHappenMs)), std::future_status::ready)
      << "the third byte ends the wait";
  EXPECT_LT(Steady::now() - t0, 1s);
  EXPECT_EQ(Take(16), (Bytes{1, 2, 0x7E}));
  ASSERT_EQ(Locked([&] { return events_.Wait(&mask, &e.ov, false); }), 0u);
  EXPECT_EQ(mask, kEvRxChar | kEvRxFlag) << "the event character came";
}

TEST_F(IoLoopTest, AFullQueueLeavesBytesOnTheLineUntilThereIsRoom) {
  Locked([&] { loop_->SetQueueLimit(16); });
  Bytes sent(40);
  std::iota(sent.begin(), sent.end(), 0);
  Send(sent);
  EXPECT_EQ(WaitQueued(16), 16u);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Queued(), 16u) << "never past the limit";
  EXPECT_EQ(LeftOnTheLine(), 24);
  Bytes got = Take(16);
  EXPECT_EQ(WaitQueued(16), 16u) << "taking resumes once there is room";
  for (const std::uint8_t b : Take(16)) got.push_back(b);
  EXPECT_EQ(WaitQueued(8), 8u);
  for (const std::uint8_t b : Take(16)) got.push_back(b);
  EXPECT_EQ(got, sent) << "in order, nothing lost";
}

TEST_F(IoLoopTest, WithInputFlowControlTheQueueHoldsShortOfFullAndResumesAtTheResumeLevel) {
  Locked([&] {
    dcb_.Flags |= kDcbInX;
    dcb_.XoffLim = 4;
    dcb_.XonLim = 2;
    loop_->SetQueueLimit(16);
  });
  Send(Bytes(30, 0x55));
  EXPECT_EQ(WaitQueued(12), 12u);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Queued(), 12u) << "XoffLim short of full";
  Take(9);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Queued(), 3u) << "held until no more than XonLim are queued";
  Take(1);
  EXPECT_EQ(WaitQueued(12), 12u);
}

TEST_F(IoLoopTest, AWriteTheLineCannotTakeAtOnceEndsWhenTheRestHasGone) {
  const int fd = Locked([&] { return loop_->Fd(); });
  const int small = 4096;
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  Bytes data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  Request& w = w_;
  std::uint32_t written = 99;
  ASSERT_EQ(Locked([&] { return loop_->Write(&w.ov, data.data(), 1u << 20, &written); }),
            kErrorIoPending);
  EXPECT_EQ(written, 0u) << "a write never ends short";
  EXPECT_GT(Locked([&] { return requests_.Unwritten(); }), 0u);
  // The other side reads it all.
  Bytes got;
  std::uint8_t buf[65536];
  const auto deadline = Steady::now() + 10s;
  while (got.size() < data.size() && Steady::now() < deadline) {
    const ssize_t n = ::read(peer_.Get(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buf, buf + n);
  }
  ASSERT_TRUE(w.event.WaitFor(kMustHappenMs));
  std::uint32_t n = 0;
  EXPECT_EQ(RequestTable::Result(&w.ov, &n), 0u);
  EXPECT_EQ(n, 1u << 20);
  EXPECT_EQ(got, data);
}

TEST_F(IoLoopTest, AHangUpEndsTheWaitForBytesAndTheWritesAndKeepsWhatCame) {
  const int fd = Locked([&] { return loop_->Fd(); });
  const int small = 4096;
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  const Bytes data(1 << 20, 0x11);
  Request& w = w_;
  ASSERT_EQ(Locked([&] { return loop_->Write(&w.ov, data.data(), 1u << 20, nullptr); }),
            kErrorIoPending);
  Send(Bytes{1, 2});
  EXPECT_EQ(WaitQueued(2), 2u);
  auto waiter = WaitFor(3);
  std::this_thread::sleep_for(50ms);
  peer_.Reset();
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kMustHappenMs)), std::future_status::ready)
      << "nothing more can come from a line that hung up";
  ASSERT_TRUE(w.event.WaitFor(kMustHappenMs));
  EXPECT_EQ(RequestTable::Result(&w.ov, nullptr), Errno(EIO));
  EXPECT_TRUE(Locked([&] { return loop_->HungUp(); }));
  EXPECT_EQ(Take(16), (Bytes{1, 2})) << "what came before stays readable";
  EXPECT_EQ(Locked([&] { return loop_->Write(&again_.ov, data.data(), 4, nullptr); }), Errno(EIO));
  EXPECT_EQ(Locked([&] { return events_.TakeErrors(); }), LineEvents::kCeIoError);
}

TEST_F(IoLoopTest, StoppingTheThreadEndsAWaitForBytes) {
  auto waiter = WaitFor(3);
  std::this_thread::sleep_for(50ms);
  Locked([&] { loop_->Stop(); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(kMustHappenMs)), std::future_status::ready);
  loop_->Join();
}

}  // namespace
}  // namespace serial::posixtest
