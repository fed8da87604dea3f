// What the thread base needs of the platform's threads: an identity of the
// running thread and a way to set the priority of a thread by it. One file
// per platform (posix/, win32/) implements it.
#pragma once

#include <cstdint>

#include "framework/Thread.h"

namespace framework::platform_thread {

// The calling thread's identity, never 0.
std::int64_t CurrentThreadId();

// Applies p to the thread with the given identity; false if the system refused.
bool SetPriority(std::int64_t threadId, TThreadPriority p);

}  // namespace framework::platform_thread
