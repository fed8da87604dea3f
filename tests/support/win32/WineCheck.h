// Test helpers for the Windows programs: whether they run under Wine, and the
// COM port of the simulated device the runner mapped for them.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <string>

namespace testsupport {

// Wine's ntdll exports its version; Windows' does not.
inline bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// COMn of a device that answers the bootloader handshake (0x33 0x33 with
// 0x55 0x33 0xAA), from COMFLASH_TEST_COM; "" when none is mapped.
inline std::string DevicePort() {
  const char* port = std::getenv("COMFLASH_TEST_COM");
  return port ? port : "";
}

}  // namespace testsupport

// Skips the test when no device port was given.
#define REQUIRE_DEVICE_PORT()                                                         \
  do {                                                                                \
    if (testsupport::DevicePort().empty()) {                                          \
      GTEST_SKIP() << "no device: set COMFLASH_TEST_COM to the COM port of a device " \
                      "that answers the handshake (./run test --windows maps one)";   \
    }                                                                                 \
  } while (0)
