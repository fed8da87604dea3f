// The main-thread call queue behind the thread base's synchronise operation.
//
// A background thread queues a call and blocks until the main thread has run
// it. The main thread runs pending calls whenever it processes messages, when
// its event loop is idle, and while it waits for a thread to end.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace framework {

// Declares the calling thread the main thread (done once at program start;
// by default the thread that ran static initialisation).
void SetMainThread();
bool IsMainThread();

// Runs call on the main thread and returns when it has run; an exception it
// raised is thrown here again. On the main thread the call runs at once.
void RunOnMainThread(const std::function<void()>& call);

// Main thread only: runs every call queued so far. When none is queued, waits
// up to timeoutMs for one to arrive. Returns true when at least one ran.
bool CheckSynchronize(std::uint32_t timeoutMs = 0);

// Main thread only: waits up to timeoutMs for the queue to hold a call,
// without running it. Returns true when one is queued.
bool WaitForQueuedCall(std::uint32_t timeoutMs);

// Wakes a main thread that waits in CheckSynchronize or WaitForQueuedCall
// (a thread it waits for has ended).
void WakeMainThreadQueue();

// Called from any thread once a call is queued or a wake-up is asked, so a
// main thread asleep in its message loop turns to the queue. The application
// seam installs it; there is none by default.
using WakeHook = void (*)();
void SetWakeHook(WakeHook hook);

// Run by CheckSynchronize after each call: destroys threads whose end had to
// wait for that call (see TThread::DestroyWhenFinished).
void RunAfterCallHooks();

}  // namespace framework
