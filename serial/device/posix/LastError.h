// The termios back end's last error: one per thread, like the platform's,
// shared by every instance; and the errno facts the back end relies on.
#pragma once

#include <cstdint>
#include <string>

#include "serial/device/SerialApi.h"

namespace serial::posix {

std::uint32_t LastError();

// Stores code as the calling thread's last error; returns false.
bool Fail(std::uint32_t code);
inline bool Fail(int code) {
  return Fail(static_cast<std::uint32_t>(code));
}
// Stores code as the last error; returns the invalid handle.
THandle FailOpen(int code);

// The errors with which a line that went away answers reads and writes.
bool IsHangUpError(int e);

// The system's text for an errno value, or for the platform codes the back
// end reports itself.
std::string ErrorText(std::uint32_t code);

TErrorKind ErrorKindOf(std::uint32_t code);

}  // namespace serial::posix
