// The Windows halves of the platform layer: thread priorities, the tick count.
#include <gtest/gtest.h>

#include <iterator>

#include "framework/Clock.h"
#include "framework/Thread.h"
#include "tests/support/win32/WineCheck.h"

namespace {

class PriorityProbe : public framework::TThread {
 public:
  int seen = THREAD_PRIORITY_ERROR_RETURN;

 protected:
  void Execute() override { seen = ::GetThreadPriority(::GetCurrentThread()); }
};

}  // namespace

TEST(ThreadWin32, EachPriorityIsTheSystemsValueOfTheTable) {
  using framework::TThreadPriority;
  const TThreadPriority all[] = {TThreadPriority::tpIdle,        TThreadPriority::tpLowest,
                                 TThreadPriority::tpLower,       TThreadPriority::tpNormal,
                                 TThreadPriority::tpHigher,      TThreadPriority::tpHighest,
                                 TThreadPriority::tpTimeCritical};
  const int expected[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                          THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                          THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                          THREAD_PRIORITY_TIME_CRITICAL};
  for (std::size_t i = 0; i < std::size(all); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(framework::PlatformPriorityValue(all[i]), expected[i]);
    PriorityProbe probe;
    probe.SetPriority(all[i]);
    probe.Start();
    probe.WaitFor();
    EXPECT_TRUE(probe.PriorityApplied());
    EXPECT_EQ(probe.seen, expected[i]);
  }
}

TEST(ClockWin32, TheTickCountIsTheSystemsTickCount) {
  const DWORD before = ::GetTickCount();
  const std::uint32_t tick = framework::TickCount();
  const DWORD after = ::GetTickCount();
  EXPECT_LE(tick - before, after - before);  // unsigned: holds across a wrap too
}
