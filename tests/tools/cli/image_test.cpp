// comflash-cli and what the file holds: no data where the device receives
// is refused, data beside it is warned of, and the summary names the image.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliImage : public CliFixture {
 protected:
  // Refused with exit 4 before any port is touched (the port does not exist).
  std::string ExpectRefused(const std::string& hex) {
    const auto r = Flash({"-q", "-p", "/dev/comflash-no-such-port", hex});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(Contains(r.err, hex + " has no data in the range the device receives, "
                                      "0x00C00..0x1F7FF (blocks 3 to 125)"))
        << r.err;
    return r.err;
  }
};

TEST_F(CliImage, AnEmptyFileIsRefusedWithExitFour) {
  const std::string empty = dir_ / "empty.hex";
  std::ofstream{empty};
  EXPECT_TRUE(Contains(ExpectRefused(empty), "the file holds no data at all"));

  const std::string eofOnly = dir_ / "eof.hex";
  std::ofstream(eofOnly) << ":00000001FF\n";
  EXPECT_TRUE(Contains(ExpectRefused(eofOnly), "the file holds no data at all"));
}

TEST_F(CliImage, DataOnlyBelowOrAboveTheSentRangeIsRefusedNamingWhatItCovers) {
  const auto below = HexOf(std::string(0x0C00, '\x5A'), 0, "below");
  EXPECT_TRUE(Contains(ExpectRefused(below), "the file covers 0x00000..0x00BFF"));
  const auto above = HexOf(std::string(0x800, '\x5A'), 0x1F800, "above");
  EXPECT_TRUE(Contains(ExpectRefused(above), "the file covers 0x1F800..0x1FFFF"));
}

TEST_F(CliImage, DataBesideTheSentRangeIsWarnedOfAndNotSent) {
  // 128 KiB: blocks 0..2 and 126..127 too.
  std::string whole(0x0C00, '\x11');
  whole += image_;
  whole += std::string(0x800, '\x22');
  const auto hex = HexOf(whole, 0, "whole");
  const auto port = StartDevice();
  const auto r = Flash({"-q", "-p", port, hex});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "warning: " + hex +
                                  " has data outside 0x00C00..0x1F7FF (blocks 3 "
                                  "to 125), which is not sent: 0x00000..0x00BFF, "
                                  "0x1F800..0x1FFFF"))
      << r.err;
  EXPECT_TRUE(HoldsTheImage());
}

TEST_F(CliImage, AFileWithinTheSentRangeGetsNoWarning) {
  const auto port = StartDevice();
  const auto r = Flash({"-q", "-p", port, hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
}

TEST_F(CliImage, TheSummaryCarriesTheImagesCrc32AsGzipComputesIt) {
  // gzip's trailer holds the CRC-32 of its input, least significant byte first.
  const std::string bin = dir_ / "image.bin";
  const auto gz = testsupport::RunProgram({"/bin/gzip", "-c", bin});
  ASSERT_EQ(gz.status, 0);
  ASSERT_GE(gz.out.size(), 8u);
  unsigned crc = 0;
  for (int i = 3; i >= 0; --i)
    crc = (crc << 8) | static_cast<unsigned char>(gz.out[gz.out.size() - 8 + i]);
  char expected[16];
  std::snprintf(expected, sizeof expected, "%08X", crc);

  const auto port = StartDevice();
  const auto r = Flash({"-q", "-p", port, hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, std::string("CRC-32 ") + expected + " over 0x00C00..0x1F7FF"))
      << expected << "\n"
      << r.err;
}

}  // namespace
