// The message of the port error a call raises, or "(no error)". Any other
// exception passes through, so a test sees it as the failure it is.
#pragma once

#include <string>

#include "serial/VaComm.h"

namespace testsupport {

template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const serial::EVaCommError& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace testsupport
