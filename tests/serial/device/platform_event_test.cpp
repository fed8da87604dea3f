// The manual-reset events under the port's threads: which event a wait
// reports, its limit, and signals between threads that are never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/device/PlatformEvent.h"

namespace serial {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
namespace pe = platform_event;

struct Events {
  EventHandle e[3] = {pe::Create(), pe::Create(), pe::Create()};
  ~Events() {
    for (EventHandle h : e) pe::Destroy(h);
  }
};

TEST(PlatformEvent, AWaitReportsTheFirstSignalledEventInTheGivenOrderAndKeepsItSignalled) {
  Events ev;
  EXPECT_EQ(pe::WaitAny(ev.e, 3, 0), pe::kWaitTimedOut);
  pe::Signal(ev.e[2]);
  pe::Signal(ev.e[1]);
  EXPECT_EQ(pe::WaitAny(ev.e, 3, 0), 1);
  EXPECT_EQ(pe::WaitAny(ev.e, 3, 1000), 1) << "manual reset: still signalled";
  pe::Reset(ev.e[1]);
  EXPECT_FALSE(pe::IsSignaled(ev.e[1]));
  EXPECT_EQ(pe::WaitAny(ev.e, 3, 1000), 2);
  EXPECT_EQ(pe::WaitAny(ev.e, 0, 1000), pe::kWaitFailed);
  const EventHandle none[2] = {ev.e[0], kNoEvent};
  EXPECT_EQ(pe::WaitAny(none, 2, 1000), pe::kWaitFailed);
}

TEST(PlatformEvent, AWaitWithoutASignalEndsAtItsLimit) {
  Events ev;
  const auto t0 = Steady::now();
  EXPECT_EQ(pe::WaitAny(ev.e, 3, 150), pe::kWaitTimedOut);
  const auto took = Steady::now() - t0;
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 5s);
}

TEST(PlatformEvent, ASignalFromAnotherThreadWakesEveryWaiterOfThatEvent) {
  Events ev;
  std::atomic<int> first{-9}, second{-9};
  std::thread a([&] { first = pe::WaitAny(ev.e, 3, 10'000); });
  const EventHandle one[1] = {ev.e[1]};
  std::thread b([&] { second = pe::WaitAny(one, 1, 10'000); });
  std::this_thread::sleep_for(50ms);  // both asleep
  const auto t0 = Steady::now();
  pe::Signal(ev.e[1]);
  a.join();
  b.join();
  EXPECT_LT(Steady::now() - t0, 5s);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST(PlatformEvent, SignalsPassedBackAndForthAreNeverLost) {
  // Two threads hand a turn to each other through two events, each reset
  // before the other is signalled, as the writer and its callers do; a lost
  // wake-up shows as a wait that reaches its limit.
  Events ev;
  constexpr int kRounds = 20'000;
  std::atomic<int> timeouts{0};
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (pe::Wait(ev.e[0], 5000) != 0) {
        ++timeouts;
        return;
      }
      pe::Reset(ev.e[0]);
      pe::Signal(ev.e[1]);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    pe::Signal(ev.e[0]);
    if (pe::Wait(ev.e[1], 5000) != 0) {
      ++timeouts;
      pe::Signal(ev.e[0]);  // let the other side end
      break;
    }
    pe::Reset(ev.e[1]);
  }
  other.join();
  EXPECT_EQ(timeouts, 0);
}

}  // namespace
}  // namespace serial
