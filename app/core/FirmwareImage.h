// The in-memory copy of the device's program memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace comflash {

// 128 KiB: image addresses and device program-memory addresses are the same number.
inline constexpr std::size_t kFirmwareImageSize = 131072;

using FirmwareImageBytes = std::array<std::uint8_t, kFirmwareImageSize>;

// The one image of the program: all zero at start and never cleared, so a load overwrites only
// the addresses its records name and gaps keep what an earlier load stored there. Main thread
// only; the upload disables loading while it reads the image.
extern FirmwareImageBytes FirmwareImage;

}  // namespace comflash
