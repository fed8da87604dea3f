#include "tests/support/SampleImage.h"

#include <fstream>
#include <random>
#include <stdexcept>

#include "tests/support/ChildProcess.h"

namespace testsupport {

SampleImage::SampleImage(const TempDir& dir, unsigned seed) {
  std::mt19937 rng(seed);
  bytes_.resize(0x1F800 - 0x0C00);
  for (auto& c : bytes_) c = static_cast<char>(rng());
  const std::string bin = dir / "image.bin";
  std::ofstream(bin, std::ios::binary) << bytes_;
  hex_ = dir / "image.hex";
  const auto r = RunProgram({"/usr/bin/objcopy", "-I", "binary", "-O", "ihex", "--change-addresses",
                             "0x0C00", bin, hex_});
  if (r.status != 0) throw std::runtime_error("objcopy failed: " + r.err);
}

}  // namespace testsupport
