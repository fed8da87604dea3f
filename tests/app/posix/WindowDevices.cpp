// The window's devices on Linux: simulated devices on pseudo-terminals,
// mapped as COM4, COM5, ... in a port map of the test's own.
#include "tests/app/WindowDevices.h"

#include <fstream>
#include <iterator>

#include "tests/support/Pty.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

namespace guitest {

struct WindowDevices::Platform {
  testsupport::TempDir dir{"comflash-window"};
  testsupport::ScopedPortMap ports;
  std::vector<std::unique_ptr<testsupport::SimulatedDevice>> devices;
};

WindowDevices::WindowDevices() : platform_(std::make_unique<Platform>()) {}
WindowDevices::~WindowDevices() = default;

std::string WindowDevices::Bootloader(const std::vector<std::string>& options) {
  const std::string dump =
      platform_->dir / ("device" + std::to_string(platform_->devices.size()) + ".bin");
  auto device = std::make_unique<testsupport::SimulatedDevice>(dump, options);
  if (device->Path().empty()) {
    skip_reason_ = "the simulated device did not start";
    return "";
  }
  // Not COM3, the list's own choice at start, so a typed name is no picked item.
  const std::string name = "COM" + std::to_string(4 + platform_->devices.size());
  platform_->ports.Map(name, device->Path());
  platform_->devices.push_back(std::move(device));
  return name;
}

std::string WindowDevices::Missing() {
  platform_->ports.Map("COM9", platform_->ports.Folder() + "/no-such-device");
  return "COM9";
}

std::string WindowDevices::Memory() {
  if (platform_->devices.empty()) return "";
  // The device writes its dump as it ends.
  platform_->devices.back()->Program().Stop();
  const auto dump =
      platform_->dir / ("device" + std::to_string(platform_->devices.size() - 1) + ".bin");
  std::ifstream in(dump, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace guitest
