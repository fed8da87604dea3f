#include "app/core/HexLoader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/Exception.h"
#include "framework/TextFile.h"
#include "tests/app/core/HexRecords.h"
#include "tests/support/TempDir.h"

namespace comflash {
namespace {

namespace fs = std::filesystem;

using testsupport::TempDir;

using namespace hextest;

class HexLoaderTest : public ::testing::Test {
 protected:
  // A non-zero fill shows exactly which bytes a load wrote.
  void SetUp() override { image_->fill(0xEE); }

  std::vector<std::string> Load(const std::vector<std::string>& lines) {
    return LoadHexRecords(lines, "test.hex", *image_);
  }
  std::uint8_t At(std::size_t address) const { return (*image_)[address]; }
  std::size_t CountUnlike(std::uint8_t value) const {
    return static_cast<std::size_t>(
        std::count_if(image_->begin(), image_->end(), [&](auto b) { return b != value; }));
  }

  std::unique_ptr<FirmwareImageBytes> image_ = std::make_unique<FirmwareImageBytes>();
};

// ---- Files written by real tools ----

class HexLoaderToolTest : public HexLoaderTest {
 protected:
  void LoadToolFileAndCompare(const std::string& command, const std::string& baseRecordPrefix) {
    const std::uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto binary = RandomBytes(kFirmwareImageSize, seed);
    WriteFile(dir_ / "img.bin", std::string(binary.begin(), binary.end()));
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const auto path = (dir_ / "out.hex");
    const auto lines = framework::ReadTextLines(path);
    // The file must really use the address record under test, or the upper half is untested.
    ASSERT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const auto& l) { return l.rfind(baseRecordPrefix, 0) == 0; }))
        << "no " << baseRecordPrefix << " record in " << path;
    const auto dataRecords = std::count_if(lines.begin(), lines.end(), [](const auto& l) {
      return l.size() > 9 && l.compare(7, 2, "00") == 0;
    });

    image_->fill(0);
    const auto log = LoadHexFile(path, *image_);
    EXPECT_EQ(static_cast<std::ptrdiff_t>(log.size()), dataRecords);
    const auto mismatch = std::mismatch(image_->begin(), image_->end(), binary.begin());
    EXPECT_TRUE(mismatch.first == image_->end())
        << "first difference at 0x" << std::hex << (mismatch.first - image_->begin());
  }

  TempDir dir_;
};

TEST_F(HexLoaderToolTest, ObjcopyFileWithSegmentRecordsLoadsByteForByte) {
  LoadToolFileAndCompare("cd '" + (dir_ / "") + "' && objcopy -I binary -O ihex img.bin out.hex",
                         ":02000002");
}

TEST_F(HexLoaderToolTest, SrecCatFileWithLinearRecordsLoadsByteForByte) {
  LoadToolFileAndCompare("cd '" + (dir_ / "") + "' && srec_cat img.bin -binary -o out.hex -intel",
                         ":02000004");
}

// ---- Data records and the log ----

TEST_F(HexLoaderTest, EmptyInputStoresNothingAndLogsNothing) {
  EXPECT_TRUE(Load({}).empty());
  EXPECT_EQ(CountUnlike(0xEE), 0u);

  TempDir dir;
  WriteFile(dir / "empty.hex", "");
  EXPECT_TRUE(LoadHexFile((dir / "empty.hex"), *image_).empty());
  EXPECT_EQ(CountUnlike(0xEE), 0u);
}

TEST_F(HexLoaderTest, CountZeroRecordLogsAddressAndArrowOnly) {
  const auto log = Load({":00003000D0"});
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "0030 -> ");
  EXPECT_EQ(CountUnlike(0xEE), 0u);
}

TEST_F(HexLoaderTest, SixteenByteRecordStoresExactlySixteenBytes) {
  const std::string line = ":10010000214601360121470136007EFE09D2190140";
  ASSERT_EQ(line.size(), 43u);
  const auto log = Load({line});
  const std::vector<std::uint8_t> expected{0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01,
                                           0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image_->begin() + 0x100));
  EXPECT_EQ(CountUnlike(0xEE), 16u);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "0100 ->  21 46 01 36 01 21 47 01 36 00 7E FE 09 D2 19 01");
  EXPECT_EQ(At(0xFF), 0xEE);
  EXPECT_EQ(At(0x110), 0xEE);  // the checksum 0x40 is not a data byte
}

TEST_F(HexLoaderTest, LowerCaseDigitsAreStoredAndLoggedAsWritten) {
  const auto log = Load({":0300ab0002337aa3"});
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "00ab ->  02 33 7a");
  EXPECT_EQ(At(0xAB), 0x02);
  EXPECT_EQ(At(0xAC), 0x33);
  EXPECT_EQ(At(0xAD), 0x7A);
}

TEST_F(HexLoaderTest, LogHasOneLinePerDataRecordInFileOrder) {
  const auto log = Load({Data(0x0030, {0x02, 0x33, 0x7A}), Segment(0x1000), Data(0x0000, {0xC3}),
                         Record(0x03, 0, {0, 0, 0x12, 0x34}), Record(0x05, 0, {0, 0, 0x12, 0x34}),
                         Linear(0), Data(0x0010, {0x01, 0x02}), kEof});
  const std::vector<std::string> expected{"0030 ->  02 33 7A", "0000 ->  C3", "0010 ->  01 02"};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(log[0].size(), 17u);
}

// ---- Address records and arithmetic ----

TEST_F(HexLoaderTest, SegmentRecordMovesDataToSegmentTimesSixteen) {
  const std::string segment = ":020000021000EC";  // as objcopy writes it
  Load({segment, Data(0x0000, {0xAB, 0xCD})});
  EXPECT_EQ(At(0x10000), 0xAB);
  EXPECT_EQ(At(0x10001), 0xCD);
  EXPECT_EQ(At(0x00000), 0xEE);

  Load({Segment(0x0123), Data(0x0004, {0x5A})});
  EXPECT_EQ(At(0x1230 + 4), 0x5A);
}

TEST_F(HexLoaderTest, LinearRecordMovesDataToValueTimes65536) {
  Load({Linear(0x0001), Data(0x0200, {0x11, 0x22})});
  EXPECT_EQ(At(0x10200), 0x11);
  EXPECT_EQ(At(0x10201), 0x22);
  EXPECT_EQ(CountUnlike(0xEE), 2u);
}

TEST_F(HexLoaderTest, LastAddressRecordWins) {
  Load({Segment(0x1000), Linear(0x0000), Data(0x0000, {0x01})});
  EXPECT_EQ(At(0x00000), 0x01);
  EXPECT_EQ(At(0x10000), 0xEE);

  Load({Linear(0x0001), Segment(0x0020), Data(0x0000, {0x02})});
  EXPECT_EQ(At(0x00200), 0x02);
  EXPECT_EQ(At(0x10000), 0xEE);
}

TEST_F(HexLoaderTest, BaseStartsAtZeroForEveryLoad) {
  Load({Segment(0x1000), Data(0x0000, {0x01})});
  Load({Data(0x0000, {0x02})});
  EXPECT_EQ(At(0x10000), 0x01);
  EXPECT_EQ(At(0x00000), 0x02);
}

TEST_F(HexLoaderTest, OffsetPlusCountPastFFFFContinuesIntoNext64K) {
  Load({Data(0xFFFE, {0x01, 0x02, 0x03, 0x04})});
  EXPECT_EQ(At(0x0FFFE), 0x01);
  EXPECT_EQ(At(0x0FFFF), 0x02);
  EXPECT_EQ(At(0x10000), 0x03);
  EXPECT_EQ(At(0x10001), 0x04);
  EXPECT_EQ(At(0x00000), 0xEE);  // no wrap to the segment start
}

TEST_F(HexLoaderTest, DataEndingAtLastImageByteIsAccepted) {
  Load({Segment(0x1000), Data(0xFFFE, {0x01, 0x02})});
  EXPECT_EQ(At(0x1FFFE), 0x01);
  EXPECT_EQ(At(0x1FFFF), 0x02);
}

TEST_F(HexLoaderTest, RecordsAfterEndOfFileAreHandled) {
  const auto log = Load({Data(0x0000, {0x01}), kEof, Data(0x0001, {0x02}), kEof});
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(At(0x0000), 0x01);
  EXPECT_EQ(At(0x0001), 0x02);
}

TEST_F(HexLoaderTest, SecondLoadKeepsBytesOnlyTheFirstCovered) {
  Load({Data(0x0000, {0x01, 0x02, 0x03, 0x04})});
  const auto log = Load({Data(0x0001, {0xA2, 0xA3})});
  EXPECT_EQ(log.size(), 1u);  // the log holds only the second file's records
  EXPECT_EQ(At(0x0000), 0x01);
  EXPECT_EQ(At(0x0001), 0xA2);
  EXPECT_EQ(At(0x0002), 0xA3);
  EXPECT_EQ(At(0x0003), 0x04);
}

// ---- Whitespace ----

TEST_F(HexLoaderTest, TrailingBlanksTabsAndCrAreIgnored) {
  const std::string line = ":0300300002337A1E";
  const auto log = Load({line + " ", line + "\t", line + "\r", line + " \t\r  "});
  ASSERT_EQ(log.size(), 4u);
  for (const auto& entry : log) EXPECT_EQ(entry, "0030 ->  02 33 7A");
  EXPECT_EQ(At(0x32), 0x7A);
  EXPECT_EQ(At(0x33), 0xEE);  // the checksum was not stored as a fourth byte
}

TEST_F(HexLoaderTest, BlankLinesAreSkippedAndStillCounted) {
  const auto log = Load({"", Data(0x0000, {0x01}), "   ", "\t\r", Data(0x0001, {0x02}), ""});
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(At(0x0001), 0x02);

  try {
    Load({"", " ", "0300300002337A1E"});  // a record without its start code
    FAIL() << "no error";
  } catch (const EHexFormatError& e) {
    EXPECT_EQ(e.LineNumber(), 3u);
  }
}

// ---- Malformed files ----

struct BadRecord {
  const char* name;
  std::string line;
  const char* reasonPart;
};

class HexLoaderRejectTest : public HexLoaderTest,
                            public ::testing::WithParamInterface<BadRecord> {};

TEST_P(HexLoaderRejectTest, RejectsWithLineNumberAndLeavesImageUntouched) {
  const BadRecord& bad = GetParam();
  // Good records before and after the bad one: none of them may be stored.
  const std::vector<std::string> lines{Data(0x0000, {0x01, 0x02}), "", bad.line,
                                       Data(0x0010, {0x03}), kEof};
  const auto before = *image_;
  std::vector<std::string> log{"untouched"};
  try {
    log = LoadHexRecords(lines, "dir/fw.hex", *image_);
    FAIL() << "accepted " << bad.line;
  } catch (const EHexFormatError& e) {
    EXPECT_EQ(e.FileName(), "dir/fw.hex");
    EXPECT_EQ(e.LineNumber(), 3u);
    EXPECT_EQ(e.Message(), "dir/fw.hex:3: " + e.Reason());
    EXPECT_NE(e.Reason().find(bad.reasonPart), std::string::npos) << e.Reason();
  }
  EXPECT_EQ(log, std::vector<std::string>{"untouched"});
  EXPECT_TRUE(*image_ == before);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, HexLoaderRejectTest,
    ::testing::Values(
        BadRecord{"BadChecksum", ":0300300002337A1F", "checksum"},
        BadRecord{"BadDigit", ":0300300002G37A1E", "'G' at column 12"},
        BadRecord{"MissingStartCode", "0300300002337A1E", "':'"},
        BadRecord{"LeadingBlank", " :0300300002337A1E", "':'"},
        BadRecord{"ShortLine", ":000030", "too short"}, BadRecord{"ColonOnly", ":", "too short"},
        BadRecord{"CountAboveLength", ":0400300002337A1D", "byte count 4"},
        BadRecord{"CountBelowLength", ":0200300002337A1F", "byte count 2"},
        BadRecord{"ChecksumStoredAsData", ":0300300002337A1E1E", "byte count 3"},
        BadRecord{"StartCodeChanged", ";0300300002337A1E", "':'"},
        BadRecord{"TextBeforeTheStartCode", "x:0300300002337A1E", "':'"},
        BadRecord{"BadDigitInUnknownType", ":00000006FG", "'G' at column 11"},
        BadRecord{"BadChecksumInUnknownType", ":00000006FB", "checksum"},
        BadRecord{"BomNotOnTheFirstLine", "\xEF\xBB\xBF:0300300002337A1E", "':'"},
        BadRecord{"ShortSegmentRecord", Record(0x02, 0, {0x10}), "needs 2 data bytes"},
        BadRecord{"LongLinearRecord", Record(0x04, 0, {0, 1, 2}), "needs 2 data bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

// Data past the image, reached in different ways; the error names the data record's line.
TEST_F(HexLoaderTest, DataOutsideImageIsRejectedOnItsLine) {
  const std::vector<std::vector<std::string>> files{
      {Segment(0x2000), Data(0x0000, {0x01})},
      {Linear(0x0002), Data(0x0000, {0x01})},
      {Linear(0xFFFF), Data(0xFFFF, {0x01})},         // base + offset past 32 bits
      {Segment(0x1000), Data(0xFFFF, {0x01, 0x02})},  // crosses the end
  };
  const auto before = *image_;
  for (const auto& file : files) {
    SCOPED_TRACE(file[0] + " " + file[1]);
    std::vector<std::string> log{"untouched"};
    try {
      log = Load(file);
      ADD_FAILURE() << "accepted";
    } catch (const EHexFormatError& e) {
      EXPECT_EQ(e.LineNumber(), 2u);
      EXPECT_NE(e.Reason().find("outside"), std::string::npos) << e.Reason();
    }
    EXPECT_EQ(log, std::vector<std::string>{"untouched"});
    EXPECT_TRUE(*image_ == before);
  }
}

// ---- Reading the file ----

TEST_F(HexLoaderTest, MissingFileRaisesFileErrorNamingThePath) {
  TempDir dir;
  const auto path = (dir / "no-such.hex");
  try {
    LoadHexFile(path, *image_);
    FAIL() << "no error";
  } catch (const framework::EFileError& e) {
    EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
  }
  EXPECT_EQ(CountUnlike(0xEE), 0u);
}

TEST_F(HexLoaderTest, FileErrorNamesThePathAndLine) {
  TempDir dir;
  const auto path = (dir / "bad.hex");
  WriteFile(path, Data(0, {1}) + "\r\n" + ":0300300002337A1F\r\n");
  try {
    LoadHexFile(path, *image_);
    FAIL() << "no error";
  } catch (const EHexFormatError& e) {
    EXPECT_EQ(e.Message().rfind(path + ":2: ", 0), 0u) << e.Message();
  }
}

// ---- The addresses a file covers ----

TEST_F(HexLoaderTest, CoveredSpansAreSortedMergedAndLeaveOutEmptyRecords) {
  AddressSpans covered{{1, 2}};  // replaced, not appended to
  LoadHexRecords(
      {Data(0x0010, {1, 2, 3, 4}), Data(0x0000, {9, 9}), Data(0x0014, {5}), Data(0x0002, {7}),
       Data(0x0100, {}), Segment(0x1000), Data(0xFFFE, {1, 2}), Data(0x0000, {3})},
      "test.hex", *image_, &covered);
  ASSERT_EQ(covered.size(), 4u);
  EXPECT_EQ(covered[0].first, 0x0000u);  // 0x0000..0x0001 and 0x0002 touch
  EXPECT_EQ(covered[0].last, 0x0002u);
  EXPECT_EQ(covered[1].first, 0x0010u);  // 0x0010..0x0013 and 0x0014 touch
  EXPECT_EQ(covered[1].last, 0x0014u);
  EXPECT_EQ(covered[2].first, 0x10000u);  // loaded last, sorted before 0x1FFFE
  EXPECT_EQ(covered[2].last, 0x10000u);
  EXPECT_EQ(covered[3].first, 0x1FFFEu);  // segment 0x1000 x 16 + 0xFFFE
  EXPECT_EQ(covered[3].last, 0x1FFFFu);

  LoadHexRecords({kEof}, "test.hex", *image_, &covered);
  EXPECT_TRUE(covered.empty()) << "a file without data covers nothing";
}

}  // namespace
}  // namespace comflash
