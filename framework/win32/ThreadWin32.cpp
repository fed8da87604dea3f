// Thread priorities on Windows: SetThreadPriority with the priority table's
// values, on a handle opened by thread id for just that call.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "framework/PlatformThread.h"

namespace framework::platform_thread {

std::int64_t CurrentThreadId() {
  return static_cast<std::int64_t>(::GetCurrentThreadId());
}

bool SetPriority(std::int64_t threadId, TThreadPriority p) {
  HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE,
                               static_cast<DWORD>(threadId));
  if (thread == nullptr) return false;
  const bool ok = ::SetThreadPriority(thread, PlatformPriorityValue(p)) != 0;
  ::CloseHandle(thread);
  return ok;
}

}  // namespace framework::platform_thread
