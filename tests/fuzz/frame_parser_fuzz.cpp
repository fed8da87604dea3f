// libFuzzer entry point; the properties are in frame_parser_check.cpp.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/FuzzChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzcheck::CheckFrameParser(data, size);
  return 0;
}
