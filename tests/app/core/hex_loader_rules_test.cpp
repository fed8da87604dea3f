// The loader's strict rules: a file cut short, two files joined, two builds
// mixed are refused on their line; without the rules the same files load.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/core/HexLoader.h"
#include "tests/app/core/HexRecords.h"

namespace comflash {
namespace {

using namespace hextest;

class HexLoadRulesTest : public ::testing::Test {
 protected:
  void SetUp() override { image_->fill(0xEE); }

  // Refused under the strict rules on line, with reasonPart in the reason,
  // the image untouched; loaded without them.
  void ExpectRefused(const std::vector<std::string>& lines, std::size_t line,
                     const std::string& reasonPart) {
    const auto before = *image_;
    try {
      LoadHexRecords(lines, "fw.hex", *image_, nullptr, HexLoadRules::Strict());
      ADD_FAILURE() << "accepted";
    } catch (const EHexFormatError& e) {
      EXPECT_EQ(e.LineNumber(), line) << e.Message();
      EXPECT_NE(e.Reason().find(reasonPart), std::string::npos) << e.Reason();
    }
    EXPECT_TRUE(*image_ == before) << "a refused file stores nothing";
    EXPECT_NO_THROW(LoadHexRecords(lines, "fw.hex", *image_)) << "the default loader takes it";
  }

  std::vector<std::string> Load(const std::vector<std::string>& lines) {
    return LoadHexRecords(lines, "fw.hex", *image_, nullptr, HexLoadRules::Strict());
  }

  std::unique_ptr<FirmwareImageBytes> image_ = std::make_unique<FirmwareImageBytes>();
};

TEST_F(HexLoadRulesTest, AFileWithoutItsEndRecordIsRefusedOnItsLastRecord) {
  ExpectRefused({Data(0x0C00, {1, 2}), Data(0x0C02, {3}), "", "; a comment"}, 2,
                "without an end-of-file record");
  ExpectRefused({Linear(0x0001)}, 1, "without an end-of-file record");
}

TEST_F(HexLoadRulesTest, AFileWithoutAnyRecordIsLeftToTheCaller) {
  EXPECT_TRUE(Load({}).empty());
  EXPECT_TRUE(Load({"", "; only a comment"}).empty());
}

TEST_F(HexLoadRulesTest, DataAfterTheEndRecordIsRefused) {
  ExpectRefused({Data(0x0C00, {1}), kEof, Linear(0x0001), Data(0x0000, {2}), kEof}, 4,
                "after the end-of-file record of line 2");
}

TEST_F(HexLoadRulesTest, WhatRealToolsPutAfterTheEndRecordStillLoads) {
  const auto log = Load({Data(0x0C00, {1, 2}), kEof, "", "; built today", "\x1A"});
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ((*image_)[0x0C01], 2);
  // A start address or a second end record stores nothing.
  EXPECT_NO_THROW(Load({Data(0x0C00, {1}), kEof, Record(0x05, 0, {0, 0, 0x0C, 0}), kEof}));
}

TEST_F(HexLoadRulesTest, TwoRecordsGivingOneAddressDifferentBytesAreRefusedOnTheLater) {
  ExpectRefused({Data(0x0C00, {1, 2, 3, 4}), Data(0x0D00, {9}), Data(0x0C02, {3, 5}), kEof}, 3,
                "data at 0x00C03 is 0x05, line 1 gave it 0x04");
  // Through different address records to the same byte.
  ExpectRefused({Segment(0x1000), Data(0x0000, {7}), Linear(0x0001), Data(0x0000, {8}), kEof}, 4,
                "data at 0x10000 is 0x08, line 2 gave it 0x07");
}

TEST_F(HexLoadRulesTest, TheSameBytesTwiceAreNoConflict) {
  const auto log = Load({Data(0x0C00, {1, 2, 3}), Data(0x0C01, {2, 3}), kEof});
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ((*image_)[0x0C02], 3);
}

TEST_F(HexLoadRulesTest, EachRuleAlone) {
  const std::vector<std::string> cut{Data(0x0C00, {1})};
  const std::vector<std::string> joined{Data(0x0C00, {1}), kEof, Data(0x0C01, {2}), kEof};
  const std::vector<std::string> mixed{Data(0x0C00, {1}), Data(0x0C00, {2}), kEof};
  HexLoadRules rules;
  rules.requireEndOfFile = true;
  EXPECT_THROW(LoadHexRecords(cut, "f", *image_, nullptr, rules), EHexFormatError);
  EXPECT_NO_THROW(LoadHexRecords(joined, "f", *image_, nullptr, rules));
  EXPECT_NO_THROW(LoadHexRecords(mixed, "f", *image_, nullptr, rules));
  rules = {};
  rules.refuseDataAfterEnd = true;
  EXPECT_NO_THROW(LoadHexRecords(cut, "f", *image_, nullptr, rules));
  EXPECT_THROW(LoadHexRecords(joined, "f", *image_, nullptr, rules), EHexFormatError);
  rules = {};
  rules.refuseConflicts = true;
  EXPECT_THROW(LoadHexRecords(mixed, "f", *image_, nullptr, rules), EHexFormatError);
  EXPECT_NO_THROW(LoadHexRecords(joined, "f", *image_, nullptr, rules));
}

}  // namespace
}  // namespace comflash
