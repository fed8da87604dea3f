// Base of the system's exceptions: one message text.
#pragma once

#include <stdexcept>
#include <string>

namespace framework {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A file could not be opened or read.
class EFileError : public Exception {
 public:
  using Exception::Exception;
};

// The persistent base's assignment error.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace framework
