// libFuzzer entry point; the properties are in hex_loader_check.cpp.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzcheck::CheckHexLoader(data, size);
  return 0;
}
