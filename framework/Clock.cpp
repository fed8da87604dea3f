#include "framework/Clock.h"

#include <chrono>

// The tick count is the platform's (posix/, win32/).
namespace framework {

std::int64_t MonotonicMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace framework
