// The overlapped requests of an open line, with no device behind them: how a
// request starts, ends, is cancelled or aborted, and how a caller waits.
#include <future>
#include <memory>

#include "serial/device/posix/RequestTable.h"
#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

using posix::RequestTable;

TEST(RequestTableTest, ARequestStartsPendingWithItsEventResetAndEndsSignalled) {
  RequestTable table;
  Request r;
  platform_event::Signal(r.ov.hEvent);
  r.ov.InternalHigh = 77;
  RequestTable::Begin(&r.ov);
  EXPECT_FALSE(r.event.IsSignaled()) << "a request's event is reset when it starts";
  std::uint32_t n = 5;
  EXPECT_EQ(RequestTable::Result(&r.ov, &n), kErrorIoIncomplete);
  EXPECT_EQ(n, 5u) << "no count while pending";

  table.Complete(&r.ov, 12, 0);
  EXPECT_TRUE(r.event.IsSignaled());
  EXPECT_EQ(RequestTable::Result(&r.ov, &n), 0u);
  EXPECT_EQ(n, 12u);

  // A failed request keeps what it moved before it failed.
  RequestTable::Begin(&r.ov);
  table.Complete(&r.ov, 3, Errno(EIO));
  EXPECT_EQ(RequestTable::Result(&r.ov, &n), Errno(EIO));
  EXPECT_EQ(n, 3u);

  // Ending at once still resets and signals the event.
  r.event.WaitFor(0);
  table.CompleteAtOnce(&r.ov, 9);
  EXPECT_TRUE(r.event.IsSignaled());
  EXPECT_EQ(RequestTable::Result(&r.ov, &n), 0u);
  EXPECT_EQ(n, 9u);
}

TEST(RequestTableTest, TheWaitAndTheWritesAreOutstandingUntilTheyEnd) {
  RequestTable table;
  Request wait, first, second, other;
  std::uint32_t mask = 0xFFFF;
  const std::uint8_t data[8] = {};
  table.BeginWait(&wait.ov, &mask);
  table.BeginWrite(&first.ov, data, 8, 2);
  table.BeginWrite(&second.ov, data, 4, 0);
  EXPECT_TRUE(table.Waiting());
  EXPECT_TRUE(table.IsOutstanding(&wait.ov));
  EXPECT_TRUE(table.IsOutstanding(&first.ov));
  EXPECT_TRUE(table.IsOutstanding(&second.ov));
  EXPECT_FALSE(table.IsOutstanding(&other.ov));
  EXPECT_EQ(table.Unwritten(), 6u + 4u) << "what the writes still have to hand on";

  // Writes end oldest first, with what they wrote.
  ASSERT_EQ(table.FrontWrite().ov, &first.ov);
  table.FrontWrite().done = 8;
  table.EndFrontWrite(0);
  std::uint32_t n = 0;
  EXPECT_EQ(RequestTable::Result(&first.ov, &n), 0u);
  EXPECT_EQ(n, 8u);
  EXPECT_FALSE(table.IsOutstanding(&first.ov));
  EXPECT_EQ(table.FrontWrite().ov, &second.ov);

  table.CompleteWait(kEvRxChar, 0);
  EXPECT_EQ(mask, kEvRxChar) << "the events go where the wait was told";
  EXPECT_FALSE(table.Waiting());
  EXPECT_TRUE(wait.event.IsSignaled());
  table.AbortAll(kErrorOperationAborted);
}

TEST(RequestTableTest, CancelEndsOnlyTheNamedRequestAndKeepsWhatItWrote) {
  RequestTable table;
  Request wait, first, second, stranger;
  std::uint32_t mask = 0xFFFF;
  const std::uint8_t data[8] = {};
  table.BeginWait(&wait.ov, &mask);
  table.BeginWrite(&first.ov, data, 8, 0);
  table.BeginWrite(&second.ov, data, 8, 5);

  table.Cancel(&stranger.ov);  // not one of these: nothing changes
  EXPECT_TRUE(table.IsOutstanding(&first.ov));
  EXPECT_TRUE(table.IsOutstanding(&second.ov));
  EXPECT_TRUE(table.Waiting());

  table.Cancel(&second.ov);
  std::uint32_t n = 0;
  EXPECT_EQ(RequestTable::Result(&second.ov, &n), kErrorOperationAborted);
  EXPECT_EQ(n, 5u) << "what the line took stays counted";
  EXPECT_TRUE(second.event.IsSignaled());
  EXPECT_TRUE(table.IsOutstanding(&first.ov)) << "the other write goes on";
  EXPECT_EQ(table.FrontWrite().ov, &first.ov);

  table.Cancel(&wait.ov);
  EXPECT_EQ(RequestTable::Result(&wait.ov, nullptr), kErrorOperationAborted);
  EXPECT_EQ(mask, 0u) << "a cancelled wait reports no events";
  EXPECT_FALSE(table.Waiting());
  table.AbortAll(kErrorOperationAborted);
}

TEST(RequestTableTest, AbortAllEndsEveryRequestWithTheStatusGiven) {
  RequestTable table;
  Request wait, first, second;
  std::uint32_t mask = 0xFFFF;
  const std::uint8_t data[8] = {};
  table.BeginWait(&wait.ov, &mask);
  table.BeginWrite(&first.ov, data, 8, 1);
  table.BeginWrite(&second.ov, data, 8, 0);
  table.AbortAll(Errno(EIO));
  for (Request* r : {&wait, &first, &second}) {
    EXPECT_EQ(RequestTable::Result(&r->ov, nullptr), Errno(EIO));
    EXPECT_TRUE(r->event.IsSignaled());
    EXPECT_FALSE(table.IsOutstanding(&r->ov));
  }
  EXPECT_FALSE(table.HasWrites());
  EXPECT_FALSE(table.Waiting());
  EXPECT_EQ(mask, 0u);
}

// A caller blocked in WaitEnded, and what it needs to wake. If it never
// wakes, the objects it sleeps on are left behind rather than freed under it.
struct Sleeper {
  std::mutex m;
  RequestTable table;
  Request r;
  std::future<void> woke;

  void Sleep() {
    woke = std::async(std::launch::async, [this] {
      std::unique_lock lock(m);
      table.WaitEnded(lock, &r.ov);
    });
  }
  static void Finish(std::unique_ptr<Sleeper> s) {
    if (s->woke.wait_for(std::chrono::milliseconds(kMustHappenMs)) != std::future_status::ready) {
      ADD_FAILURE() << "the waiter never woke";
      s.release();  // NOLINT: it still sleeps on these
    }
  }
};

TEST(RequestTableTest, AWaitForTheEndWakesWhenTheRequestEnds) {
  auto s = std::make_unique<Sleeper>();
  const std::uint8_t data[4] = {};
  {
    std::lock_guard lock(s->m);
    s->table.BeginWrite(&s->r.ov, data, 4, 0);
  }
  s->Sleep();
  std::this_thread::sleep_for(50ms);
  EXPECT_NE(s->woke.wait_for(0ms), std::future_status::ready) << "it waits while pending";
  {
    std::lock_guard lock(s->m);
    s->table.EndFrontWrite(0);
  }
  Sleeper::Finish(std::move(s));
}

TEST(RequestTableTest, AWaitForARecordThatIsNotOutstandingReturnsAtOnce) {
  // Pending by its status, but never started here (or already forgotten):
  // nothing would ever end it.
  auto s = std::make_unique<Sleeper>();
  s->r.ov.Internal = kStatusPending;
  s->Sleep();
  Sleeper::Finish(std::move(s));
}

}  // namespace
}  // namespace serial::posixtest
