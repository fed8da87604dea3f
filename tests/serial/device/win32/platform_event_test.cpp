// The Windows half of the platform layer under the port: kernel events.
#include <gtest/gtest.h>

#include <vector>

#include "serial/device/PlatformEvent.h"
#include "tests/support/win32/WineCheck.h"

using namespace serial;
namespace pe = serial::platform_event;

namespace {

struct Events {
  explicit Events(int n) {
    for (int i = 0; i < n; ++i) handles.push_back(pe::Create());
  }
  ~Events() {
    for (EventHandle e : handles) pe::Destroy(e);
  }
  std::vector<EventHandle> handles;
};

}  // namespace

TEST(PlatformEventWin32, IsAManualResetKernelEventTheSystemCanSignal) {
  Events ev(1);
  const HANDLE h = reinterpret_cast<HANDLE>(ev.handles[0]);
  EXPECT_EQ(::WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(::SetEvent(h));  // as a driver completing a request would
  EXPECT_TRUE(pe::IsSignaled(ev.handles[0]));
  EXPECT_EQ(pe::Wait(ev.handles[0], 0), 0);
  EXPECT_EQ(pe::Wait(ev.handles[0], 0), 0) << "manual reset: a wait leaves it signalled";
  pe::Reset(ev.handles[0]);
  EXPECT_EQ(::WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  pe::Signal(ev.handles[0]);
  EXPECT_EQ(::WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(PlatformEventWin32, WaitAnyReportsTheFirstSignalledInTheGivenOrder) {
  Events ev(3);
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 3, 0), pe::kWaitTimedOut);
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 3, 50), pe::kWaitTimedOut);
  EXPECT_GE(::GetTickCount() - start, 40u);
  pe::Signal(ev.handles[2]);
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 3, 1000), 2);
  pe::Signal(ev.handles[1]);
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 3, 1000), 1);
  pe::Signal(ev.handles[0]);
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 3, pe::kWaitTimedOut), 0);
}

TEST(PlatformEventWin32, WaitAnyRefusesBadArguments) {
  Events ev(1);
  EXPECT_EQ(pe::WaitAny(ev.handles.data(), 0, 0), pe::kWaitFailed);
  EXPECT_EQ(pe::WaitAny(nullptr, 1, 0), pe::kWaitFailed);
  const EventHandle none[] = {ev.handles[0], kNoEvent};
  EXPECT_EQ(pe::WaitAny(none, 2, 0), pe::kWaitFailed);
  std::vector<EventHandle> many(MAXIMUM_WAIT_OBJECTS + 1, ev.handles[0]);
  EXPECT_EQ(pe::WaitAny(many.data(), many.size(), 0), pe::kWaitFailed);
}
