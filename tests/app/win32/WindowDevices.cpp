// The window's devices on Windows: the COM ports the runner mapped, or the
// one named on a Windows PC.
#include "tests/app/WindowDevices.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace guitest {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

}  // namespace

struct WindowDevices::Platform {
  int given = 0;
  std::string dump;
};

WindowDevices::WindowDevices() : platform_(std::make_unique<Platform>()) {}
WindowDevices::~WindowDevices() = default;

std::string WindowDevices::Bootloader(const std::vector<std::string>& options) {
  if (platform_->given++ > 0) {
    skip_reason_ = "this run maps one device for a test";
    return "";
  }
  if (options.empty()) {
    const std::string port = Env("COMFLASH_TEST_COM");
    if (port.empty())
      skip_reason_ =
          "no device: set COMFLASH_TEST_COM to the COM port of a device that "
          "answers the handshake (./run test --windows maps one)";
    return port;
  }
  // The runner starts one simulated device per run of this kind, as COM3.
  if (Env("COMFLASH_WINDOW_SIM") != Joined(options)) {
    skip_reason_ = "needs the simulated device '" + Joined(options) +
                   "' as COM3 (COMFLASH_WINDOW_SIM; tests/wine/run.sh starts it)";
    return "";
  }
  platform_->dump = Env("COMFLASH_WINDOW_SIM_DUMP");
  return "COM3";
}

std::string WindowDevices::Missing() {
  return "COM9";  // the runner leaves COM9 unmapped
}

std::string WindowDevices::Memory() {
  // The device writes its memory after every block it accepts.
  std::ifstream in(platform_->dump, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace guitest
