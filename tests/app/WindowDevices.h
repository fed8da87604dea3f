// The device end of the window's port tests, as each platform gives it: a
// port name from the window's list (COM1 to COM9) that answers like the
// bootloader, and one with nothing behind it.
// - Linux: every test starts its own simulated device on a pseudo-terminal
//   and maps it in a port map of its own.
// - Under Wine: the runner (tests/wine/run.sh) maps the simulated devices:
//   COMFLASH_TEST_COM answers plainly, and COM3 runs with the options named
//   by COMFLASH_WINDOW_SIM, its memory in COMFLASH_WINDOW_SIM_DUMP.
// - On a Windows PC: COMFLASH_TEST_COM names a port with a device that
//   answers the handshake; a test that needs more skips by name.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace guitest {

class WindowDevices {
 public:
  WindowDevices();
  ~WindowDevices();
  WindowDevices(const WindowDevices&) = delete;
  WindowDevices& operator=(const WindowDevices&) = delete;

  // COMn of a device that answers like the bootloader, running with the
  // simulator's `options`; each call gives another device. "" when this run
  // has none such, and SkipReason() says why.
  std::string Bootloader(const std::vector<std::string>& options = {});
  // A port of the window's list with no device behind it.
  std::string Missing();
  // The memory of the device that Bootloader() last gave, as the device
  // holds it after its last accepted block.
  std::string Memory();
  const std::string& SkipReason() const { return skip_reason_; }

 private:
  struct Platform;
  std::unique_ptr<Platform> platform_;
  std::string skip_reason_;
};

// The index in ComboBox1 of COMn.
inline int ItemOf(const std::string& port) {
  return std::stoi(port.substr(3)) - 1;
}

}  // namespace guitest

// Gives `var` a bootloader port with the given simulator options, or skips
// the test by name with the reason.
#define REQUIRE_BOOTLOADER(devices, var, ...)                  \
  const std::string var = (devices).Bootloader({__VA_ARGS__}); \
  do {                                                         \
    if (var.empty()) GTEST_SKIP() << (devices).SkipReason();   \
  } while (0)
