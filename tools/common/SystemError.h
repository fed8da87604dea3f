// The failure of a system call, for the tools, tests and benches.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tools {

// "what: <errno text>", with errno as the failed call left it.
inline std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace tools
