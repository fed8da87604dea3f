// The sample image the upload tests share: random bytes at 0x0C00..0x1F7FF
// written as a HEX file by objcopy, as a real build writes them.
#pragma once

#include <string>

#include "tests/support/TempDir.h"

namespace testsupport {

class SampleImage {
 public:
  // Writes image.bin and image.hex into dir; throws when objcopy fails.
  SampleImage(const TempDir& dir, unsigned seed);

  const std::string& Hex() const { return hex_; }
  // The bytes of 0x0C00..0x1F7FF, as the device must hold them afterwards.
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string hex_;
  std::string bytes_;
};

}  // namespace testsupport
