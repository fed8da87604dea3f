// comflash-cli and files that look whole but are not: cut short, two joined,
// two builds mixed, or no HEX file at all. Each is refused with exit 4 and
// its line before any port is touched; a file that leaves part of the sent
// range empty is sent and says which part.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliFileRules : public CliFixture {
 protected:
  // The sample's lines without their CR (objcopy ends lines with CR LF).
  std::vector<std::string> Records() const {
    auto lines = SplitLines(ReadFile(hex_));
    for (auto& l : lines)
      if (!l.empty() && l.back() == '\r') l.pop_back();
    return lines;
  }
  // The 1-based number of the first data record among lines.
  static std::size_t FirstData(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].substr(7, 2) == "00") return i + 1;
    return 0;
  }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string Join(const std::vector<std::string>& lines, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i] + "\n";
    return text;
  }

  // Refused with exit 4 on a port that is not there (so a port error would
  // show): the message says what and where.
  void ExpectRefused(const std::string& path, const std::string& what) {
    const auto r = Flash({"-q", "-p", "/dev/comflash-no-such-port", path});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(Contains(r.err, "comflash-cli: " + what)) << r.err;
    EXPECT_FALSE(Contains(r.err, "cannot open port")) << r.err;
  }
};

TEST_F(CliFileRules, AFileCutShortIsRefusedOnItsLastLine) {
  const auto lines = Records();
  ASSERT_GT(lines.size(), 4000u);
  const auto half = Write("half.hex", Join(lines, 4000));
  ExpectRefused(half, half + ":4000: the file ends without an end-of-file record");
}

TEST_F(CliFileRules, TwoFilesJoinedAreRefusedAtTheSecondsFirstData) {
  const auto lines = Records();
  const std::string text = ReadFile(hex_);
  const auto joined = Write("joined.hex", text + text);
  const std::size_t second = lines.size() + FirstData(lines);
  ASSERT_GT(second, lines.size());
  ExpectRefused(joined, joined + ":" + std::to_string(second) +
                            ": data record after the end-of-file record of line " +
                            std::to_string(lines.size()));
}

TEST_F(CliFileRules, TwoRecordsGivingOneAddressDifferentBytesAreRefused) {
  auto lines = Records();
  // The first data record again, its first byte changed (and its checksum).
  const std::size_t first = FirstData(lines);
  ASSERT_GT(first, 0u);
  std::string copy = lines[first - 1];
  const int byte = std::stoi(copy.substr(9, 2), nullptr, 16);
  const int sum = std::stoi(copy.substr(copy.size() - 2), nullptr, 16);
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", (byte + 1) & 0xFF);
  copy.replace(9, 2, buf);
  std::snprintf(buf, sizeof buf, "%02X", (sum - 1) & 0xFF);
  copy.replace(copy.size() - 2, 2, buf);
  lines.insert(lines.begin() + 10, copy);
  const auto mixed = Write("mixed.hex", Join(lines, lines.size()));
  ExpectRefused(mixed, mixed + ":11: data at ");
  EXPECT_TRUE(Contains(Flash({"-q", "-p", "/dev/comflash-no-such-port", mixed}).err,
                       ", line " + std::to_string(first) + " gave it "));
}

TEST_F(CliFileRules, AFileLeavingPartOfTheRangeEmptyIsSentAndSaysWhichPart) {
  // The first 0x1000 bytes only, as a whole file with its end record.
  const auto part = HexOf(image_.substr(0, 0x1000), 0x0C00, "part");
  const auto port = StartDevice();
  const auto r = Flash({"-q", "-p", port, part});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "warning: " + part +
                                  " leaves 0x01C00..0x1F7FF of 0x00C00..0x1F7FF (blocks 3 to "
                                  "125) empty; those bytes are sent as the image holds them"))
      << r.err;
}

TEST_F(CliFileRules, AnElfOrARawBinaryIsNamedForWhatItIs) {
  ExpectRefused(kCli, kCli + " is not an Intel HEX file: it is an ELF file");
  const auto raw = Write("image.bin", image_);
  ExpectRefused(raw, raw + " is not an Intel HEX file: it holds binary data");
  const auto text = Write("notes.hex", "flash this one\nat 0x0C00\n");
  ExpectRefused(text, text + " is not an Intel HEX file: no line in it is a record");
}

}  // namespace
