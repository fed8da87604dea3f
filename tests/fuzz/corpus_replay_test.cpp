// Every saved fuzz input, seeds and past findings alike, through the fuzz targets' checks:
// a finding stays fixed, and the checks run in every build, sanitizers included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzChecks.h"

namespace {

namespace fs = std::filesystem;

struct Input {
  std::string target;  // corpus folder: hex_loader or frame_parser
  fs::path path;
};

std::vector<Input> Inputs() {
  std::vector<Input> inputs;
  const fs::path root = fs::path(COMFLASH_SOURCE_DIR) / "tests" / "fuzz" / "corpus";
  for (const char* target : {"hex_loader", "frame_parser"})
    for (const auto& entry : fs::directory_iterator(root / target))
      if (entry.is_regular_file()) inputs.push_back({target, entry.path()});
  std::sort(inputs.begin(), inputs.end(),
            [](const Input& a, const Input& b) { return a.path < b.path; });
  return inputs;
}

class FuzzCorpus : public ::testing::TestWithParam<Input> {};

TEST_P(FuzzCorpus, HoldsTheTargetsProperties) {
  std::ifstream in(GetParam().path, std::ios::binary);
  ASSERT_TRUE(in) << GetParam().path;
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (GetParam().target == "hex_loader")
    fuzzcheck::CheckHexLoader(data, bytes.size());
  else
    fuzzcheck::CheckFrameParser(data, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Saved, FuzzCorpus, ::testing::ValuesIn(Inputs()), [](const auto& info) {
  std::string name = info.param.target + "_" + info.param.path.stem().string();
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  return name;
});

// A missing folder would otherwise leave the suite above empty, and empty passes.
TEST(FuzzCorpus, IsThere) {
  EXPECT_GE(Inputs().size(), 20u) << "the seed corpus is missing";
}

}  // namespace
