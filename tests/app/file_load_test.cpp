// The file button: dialog, loading into the image, the log and the error box.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/FirmwareImage.h"
#include "tests/app/FormFixture.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using comflash::FirmwareImage;

using testsupport::TempDir;

// A path from UTF-8 text, whatever the platform's narrow encoding.
fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(PathOf(path), std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

// One record with its checksum; digits in the case asked for.
std::string Record(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& data,
                   bool lowerCase = false) {
  std::uint8_t sum =
      static_cast<std::uint8_t>(data.size() + (offset >> 8) + (offset & 0xFF) + type);
  std::string text = ":";
  char buf[16];
  const char* byteFormat = lowerCase ? "%02x" : "%02X";
  std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()), offset, type);
  text += buf;
  for (std::uint8_t b : data) {
    std::snprintf(buf, sizeof buf, byteFormat, b);
    text += buf;
    sum = static_cast<std::uint8_t>(sum + b);
  }
  std::snprintf(buf, sizeof buf, "%02X", static_cast<std::uint8_t>(-sum) & 0xFF);
  return text + buf + "\r\n";
}

class FileButton : public guitest::FormTest {
 protected:
  // The image is program-wide: each test leaves it as it found it.
  void SetUp() override { saved_ = FirmwareImage; }
  void TearDown() override {
    FormTest::TearDown();
    FirmwareImage = saved_;
  }

  TempDir dir;

 private:
  comflash::FirmwareImageBytes saved_{};
};

TEST_F(FileButton, CancellingClearsTheLogAndKeepsTheImage) {
  TForm1& f = Create();
  FirmwareImage[0x0C00] = 0x42;
  const comflash::FirmwareImageBytes before = FirmwareImage;
  dialogs.openAnswers.push_back(std::nullopt);
  guitest::OperatorClick(*f.Button1);
  EXPECT_EQ(f.Memo1->Text(), "");
  EXPECT_TRUE(FirmwareImage == before);
  EXPECT_TRUE(dialogs.errors.empty());
  ASSERT_EQ(dialogs.openRequests.size(), 1u);
  const forms::OpenDialogOptions& o = dialogs.openRequests[0];
  EXPECT_EQ(o.DefaultSuffix, "hex");
  EXPECT_EQ(o.FileName, "_code.hex");
  EXPECT_EQ(o.Filter, "");
  EXPECT_EQ(o.Title, "");
  EXPECT_FALSE(o.FileMustExist);
}

TEST_F(FileButton, LoadsASmallFileAndLogsEachDataRecord) {
  const std::string path = dir / "small.hex";
  WriteFile(path, Record(0x00, 0x0C00, {0x01, 0x02, 0x03, 0x04}) +
                      Record(0x02, 0x0000, {0x10, 0x00}) +  // segment base 0x10000
                      Record(0x00, 0x0010, {0xAB, 0xCD}, true) + Record(0x01, 0x0000, {}));
  TForm1& f = Create();
  dialogs.openAnswers.push_back(path);
  guitest::OperatorClick(*f.Button1);
  ASSERT_TRUE(dialogs.errors.empty()) << dialogs.errors[0];
  EXPECT_EQ(f.Memo1->Text(), "0C00 ->  01 02 03 04\n0010 ->  ab cd");
  EXPECT_EQ(FirmwareImage[0x0C00], 0x01);
  EXPECT_EQ(FirmwareImage[0x0C03], 0x04);
  EXPECT_EQ(FirmwareImage[0x10010], 0xAB);
  EXPECT_EQ(FirmwareImage[0x10011], 0xCD);

  // The next time the dialog proposes the file chosen last; the old log goes first.
  dialogs.openAnswers.push_back(std::nullopt);
  guitest::OperatorClick(*f.Button1);
  ASSERT_EQ(dialogs.openRequests.size(), 2u);
  EXPECT_EQ(dialogs.openRequests[1].FileName, path);
  EXPECT_EQ(f.Memo1->Text(), "");
  EXPECT_EQ(FirmwareImage[0x0C00], 0x01);
}

TEST_F(FileButton, AMalformedFileShowsWhereInTheErrorBox) {
  const std::string path = dir / "bad.hex";
  WriteFile(path, Record(0x00, 0x0C00, {0x11, 0x22}) + ":0400\r\n");
  TForm1& f = Create();
  const comflash::FirmwareImageBytes before = FirmwareImage;
  dialogs.openAnswers.push_back(path);
  guitest::OperatorClick(*f.Button1);
  ASSERT_EQ(dialogs.errors.size(), 1u);
  EXPECT_EQ(dialogs.errors[0].rfind(path + ":2: ", 0), 0u) << dialogs.errors[0];
  EXPECT_EQ(f.Memo1->Text(), "");
  EXPECT_TRUE(FirmwareImage == before) << "nothing of the file is stored";
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(f.Button1->Enabled()) << "the window stays usable";
}

TEST_F(FileButton, AFileWithACyrillicNameInACyrillicFolderLoads) {
  const std::u8string base = dir.Path().u8string();
  const std::string folder = std::string(base.begin(), base.end()) + "/прошивки";
  fs::create_directories(PathOf(folder));
  const std::string path = folder + "/блок.hex";
  WriteFile(path, Record(0x00, 0x0C00, {0x5A, 0xA5}) + Record(0x01, 0x0000, {}));
  TForm1& f = Create();
  dialogs.openAnswers.push_back(path);
  guitest::OperatorClick(*f.Button1);
  ASSERT_TRUE(dialogs.errors.empty()) << dialogs.errors[0];
  EXPECT_EQ(f.Memo1->Text(), "0C00 ->  5A A5");
  EXPECT_EQ(FirmwareImage[0x0C00], 0x5A);
}

TEST_F(FileButton, AFileThatCannotBeReadShowsItsPathInTheErrorBox) {
  const std::string path = dir / "missing.hex";
  TForm1& f = Create();
  dialogs.openAnswers.push_back(path);
  guitest::OperatorClick(*f.Button1);
  ASSERT_EQ(dialogs.errors.size(), 1u);
  EXPECT_NE(dialogs.errors[0].find(path), std::string::npos) << dialogs.errors[0];
  EXPECT_EQ(f.Memo1->Text(), "");
}

TEST_F(FileButton, AWholeImageWrittenByObjcopyLoadsCompletely) {
  std::vector<std::uint8_t> bytes(comflash::kFirmwareImageSize);
  std::mt19937 gen(7);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
  const std::string bin = dir / "image.bin";
  const std::string hex = dir / "image.hex";
  WriteFile(bin, std::string(bytes.begin(), bytes.end()));
  const std::string command = "objcopy -I binary -O ihex '" + bin + "' '" + hex + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  TForm1& f = Create();
  dialogs.openAnswers.push_back(hex);
  guitest::OperatorClick(*f.Button1);
  ASSERT_TRUE(dialogs.errors.empty()) << dialogs.errors[0];
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), FirmwareImage.begin()));
  const std::vector<std::string> lines = guitest::Lines(f.Memo1->Text());
  ASSERT_EQ(lines.size(), 8192u);  // 16 bytes a record
  EXPECT_EQ(lines.front().rfind("0000 ->  ", 0), 0u) << lines.front();
  EXPECT_EQ(lines.back().rfind("FFF0 ->  ", 0), 0u) << lines.back();
}

}  // namespace
