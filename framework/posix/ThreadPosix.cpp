// Thread priorities on Linux: the nice value of the thread's task.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "framework/PlatformThread.h"

namespace framework::platform_thread {

namespace {

int NiceValue(TThreadPriority p) {
  switch (p) {
    case TThreadPriority::tpIdle:
      return 19;
    case TThreadPriority::tpLowest:
      return 10;
    case TThreadPriority::tpLower:
      return 5;
    case TThreadPriority::tpNormal:
      return 0;
    case TThreadPriority::tpHigher:
      return -5;
    case TThreadPriority::tpHighest:
      return -10;
    case TThreadPriority::tpTimeCritical:
      return -20;
  }
  return 0;
}

}  // namespace

std::int64_t CurrentThreadId() {
  return static_cast<std::int64_t>(syscall(SYS_gettid));
}

bool SetPriority(std::int64_t threadId, TThreadPriority p) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), NiceValue(p)) == 0;
}

}  // namespace framework::platform_thread
