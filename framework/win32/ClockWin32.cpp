#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "framework/Clock.h"

namespace framework {

std::uint32_t TickCount() {
  return static_cast<std::uint32_t>(::GetTickCount());
}

}  // namespace framework
