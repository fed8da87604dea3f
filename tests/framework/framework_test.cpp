#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "framework/Component.h"
#include "framework/Exception.h"
#include "framework/MainThreadQueue.h"
#include "framework/TextFile.h"
#include "framework/Thread.h"
#include "tests/support/RecordingApplication.h"

using namespace framework;
using namespace std::chrono_literals;

namespace {

// A thread whose body is a function.
class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread&)> body) : body_(std::move(body)) {}
  ~LambdaThread() override { WaitFor(); }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(LambdaThread&)> body_;
};

std::string TempFile(const std::string& content) {
  char name[] = "/tmp/comflash-text-XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  ::close(fd);
  std::ofstream(name, std::ios::binary) << content;
  return name;
}

}  // namespace

TEST(Synchronize, RunsOnMainThreadAndBlocksTheCallerUntilItRan) {
  std::atomic<bool> returned{false};
  std::thread::id ranOn;
  LambdaThread t([&](LambdaThread& self) {
    self.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  t.Start();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned) << "the caller must wait for the main thread";
  while (!CheckSynchronize(1000)) {
  }
  t.WaitFor();
  EXPECT_TRUE(returned);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(Synchronize, HandsAnExceptionBackToTheCallingThread) {
  std::string caught;
  LambdaThread t([&](LambdaThread& self) {
    try {
      self.Synchronize([] { throw Exception("boom"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  });
  t.Start();
  t.WaitFor();  // serves the call
  EXPECT_EQ(caught, "boom");
}

TEST(Thread, WaitForOnTheMainThreadRunsTheCallsOfTheThreadItWaitsFor) {
  int calls = 0;
  LambdaThread t([&](LambdaThread& self) {
    for (int i = 0; i < 5; ++i) self.Synchronize([&] { ++calls; });
  });
  t.Start();
  t.WaitFor();  // would block for ever if it did not run them
  EXPECT_EQ(calls, 5);
  EXPECT_TRUE(t.Finished());
}

TEST(Thread, CreatedSuspendedAndTerminateFlagReachesTheBody) {
  std::atomic<bool> ran{false};
  LambdaThread t([&](LambdaThread& self) {
    ran = true;
    while (!self.Terminated()) std::this_thread::sleep_for(1ms);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(t.Started());
  t.Start();
  t.Terminate();
  t.WaitFor();
  EXPECT_TRUE(ran);
}

TEST(Thread, AnExceptionThatEndsTheBodyIsKept) {
  LambdaThread t([](LambdaThread&) { throw std::runtime_error("body failed"); });
  t.Start();
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  EXPECT_EQ(ExceptionMessage(t.FatalException()), "body failed");
}

TEST(Thread, PriorityIsRecordedAsAskedEvenWhenTheSystemRefusesIt) {
  std::atomic<bool> stop{false};
  LambdaThread t([&](LambdaThread&) {
    while (!stop) std::this_thread::sleep_for(1ms);
  });
  t.SetPriority(TThreadPriority::tpHighest);
  t.Start();
  t.SetPriority(TThreadPriority::tpTimeCritical);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpTimeCritical);
  t.SetPriority(TThreadPriority::tpIdle);
  EXPECT_EQ(t.Priority(), TThreadPriority::tpIdle);
  EXPECT_TRUE(t.PriorityApplied()) << "lowering a priority is always allowed";
  stop = true;
  t.WaitFor();
  EXPECT_EQ(PlatformPriorityValue(TThreadPriority::tpIdle), -15);
  EXPECT_EQ(PlatformPriorityValue(TThreadPriority::tpNormal), 0);
  EXPECT_EQ(PlatformPriorityValue(TThreadPriority::tpHighest), 2);
  EXPECT_EQ(PlatformPriorityValue(TThreadPriority::tpTimeCritical), 15);
}

TEST(Thread, AThreadBlockedOnTheRunningCallIsDestroyedOnceThatCallReturned) {
  std::atomic<bool> ended{false};
  std::unique_ptr<LambdaThread> t;
  bool sawRunning = false;
  t = std::make_unique<LambdaThread>([&](LambdaThread& self) {
    self.Synchronize([&] {
      // Inside the call: waiting for the thread here could never end.
      sawRunning = t->InRunningSynchronize();
      t->Terminate();
      TThread::DestroyWhenFinished(std::move(t));
    });
    ended = true;
  });
  LambdaThread* raw = t.get();
  raw->Start();
  while (!CheckSynchronize(1000)) {
  }
  EXPECT_TRUE(sawRunning);
  EXPECT_TRUE(ended) << "the retired thread is joined after its call returned";
  EXPECT_EQ(t, nullptr);
}

TEST(Application, TheSeamWakesItsLoopWhenAnotherThreadQueuesACall) {
  // An application whose loop would sleep until woken.
  struct WakeCounting : testsupport::RecordingApplication {
    std::atomic<int> wakes{0};
    void WakeMainThread() override { ++wakes; }
  } app;
  LambdaThread t([&](LambdaThread& self) { self.Synchronize([] {}); });
  t.Start();
  while (!CheckSynchronize(1000)) {
  }
  t.WaitFor();
  EXPECT_GE(app.wakes.load(), 1) << "the queue reached the installed seam";
}

TEST(Application, HandleExceptionShowsTheMessage) {
  testsupport::RecordingApplication app;
  try {
    throw Exception("shown text");
  } catch (...) {
    App().HandleException(nullptr, std::current_exception());
  }
  ASSERT_EQ(app.Shown().size(), 1u);
  EXPECT_EQ(app.Shown()[0], "shown text");
}

TEST(TextFile, SplitsAtCrLfAndCrLfAndKeepsEverythingElse) {
  const auto lines = SplitTextLines("a\r\nb\nc\rd \t\n\n e");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1], "b");
  EXPECT_EQ(lines[2], "c");
  EXPECT_EQ(lines[3], "d \t");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], " e") << "a last line without an end is kept";
  EXPECT_TRUE(SplitTextLines("").empty());
  EXPECT_EQ(SplitTextLines("x\n").size(), 1u);
}

TEST(TextFile, ReadsAFileAndNamesThePathWhenItCannot) {
  const std::string path = TempFile(":00000001FF\r\n:02\n");
  const auto lines = ReadTextLines(path);
  std::remove(path.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], ":00000001FF");
  try {
    ReadTextLines("/nonexistent/firmware.hex");
    FAIL() << "expected an error";
  } catch (const EFileError& e) {
    EXPECT_NE(e.Message().find("/nonexistent/firmware.hex"), std::string::npos);
    EXPECT_NE(e.Message().find("No such file"), std::string::npos);
  }
  EXPECT_THROW(ReadTextLines("/tmp"), EFileError);
}

namespace {
class Listener : public TComponent {
 public:
  using TComponent::TComponent;
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove) removed.push_back(c);
    TComponent::Notification(c, op);
  }
  std::vector<TComponent*> removed;
};
}  // namespace

TEST(Component, RemovalNoticesReachThoseWhoAsked) {
  Listener listener(nullptr);
  auto watched = std::make_unique<TComponent>(nullptr);
  TComponent* raw = watched.get();
  listener.FreeNotification(raw);
  watched.reset();
  ASSERT_EQ(listener.removed.size(), 1u);
  EXPECT_EQ(listener.removed[0], raw);
}

TEST(Component, OwnerKnowsItsComponentsAndStateFlags) {
  Listener owner(nullptr);
  {
    TComponent child(&owner);
    EXPECT_EQ(owner.Components().size(), 1u);
    EXPECT_EQ(child.Owner(), &owner);
    child.SetDesigning(true);
    EXPECT_TRUE(child.ComponentState() & csDesigning);
  }
  EXPECT_TRUE(owner.Components().empty());
}

TEST(Persistent, AssignFromAWrongClassNamesBothClasses) {
  TComponent a(nullptr);
  TPersistent p;
  try {
    p.Assign(&a);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TComponent to a TPersistent");
  }
  try {
    p.Assign(nullptr);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a nil to a TPersistent");
  }
}
