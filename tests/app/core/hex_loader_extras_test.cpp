// The loader on real files: harmless extras that tools write are accepted, anything that would
// corrupt the image is still refused, and input that is not a regular file is refused at once.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/HexLoader.h"
#include "framework/Exception.h"
#include "framework/TextFile.h"
#include "tests/app/core/HexRecords.h"
#include "tests/support/TempDir.h"

namespace comflash {
namespace {

namespace fs = std::filesystem;
using namespace hextest;
using namespace std::chrono_literals;
using testsupport::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  return framework::SplitTextLines(text);
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
  std::string out;
  for (const auto& l : lines) out += l + end;
  return out;
}

// A whole random image as objcopy writes it (16-byte records, 02 segment records).
class HexRealFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint32_t seed = std::random_device{}();
    seed_trace_ = std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__,
                                                           "seed " + std::to_string(seed));
    binary_ = RandomBytes(kFirmwareImageSize, seed);
    WriteFile(dir_ / "img.bin", std::string(binary_.begin(), binary_.end()));
    const std::string cmd = "cd '" + (dir_ / "") + "' && objcopy -I binary -O ihex img.bin out.hex";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    lines_ = Lines(ReadFile(dir_ / "out.hex"));
    ASSERT_GT(lines_.size(), 8000u);
    ASSERT_EQ(lines_.back(), kEof);
    data_records_ = static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [](const auto& l) { return l.compare(7, 2, "00") == 0; }));
  }

  // Writes the text as a file and loads it into an image filled with 0xEE.
  std::vector<std::string> LoadText(const std::string& text) {
    WriteFile(dir_ / "test.hex", text);
    image_->fill(0xEE);
    return LoadHexFile(dir_ / "test.hex", *image_);
  }

  void ExpectImageIsTheBinary() {
    const auto mismatch = std::mismatch(image_->begin(), image_->end(), binary_.begin());
    EXPECT_TRUE(mismatch.first == image_->end())
        << "first difference at 0x" << std::hex << (mismatch.first - image_->begin());
  }

  // The text is refused on that line with that reason, and the image keeps its fill.
  void ExpectRefusedOnLine(const std::string& text, std::size_t line, const std::string& reason) {
    try {
      LoadText(text);
      ADD_FAILURE() << "accepted";
    } catch (const EHexFormatError& e) {
      EXPECT_EQ(e.FileName(), dir_ / "test.hex");
      EXPECT_EQ(e.LineNumber(), line) << e.Message();
      EXPECT_NE(e.Reason().find(reason), std::string::npos) << e.Reason();
    }
    EXPECT_TRUE(std::all_of(image_->begin(), image_->end(), [](auto b) { return b == 0xEE; }))
        << "a refused file changed the image";
  }

  TempDir dir_;
  std::unique_ptr<::testing::ScopedTrace> seed_trace_;
  std::vector<std::uint8_t> binary_;
  std::vector<std::string> lines_;
  std::size_t data_records_ = 0;
  std::unique_ptr<FirmwareImageBytes> image_ = std::make_unique<FirmwareImageBytes>();
};

// ---- Harmless extras ----

TEST_F(HexRealFileTest, ByteOrderMarkCrLfAndTrailingCtrlZLineLoadByteForByte) {
  const auto log = LoadText("\xEF\xBB\xBF" + Join(lines_, "\r\n") + "\x1A");
  EXPECT_EQ(log.size(), data_records_);
  EXPECT_EQ(log.front().substr(0, 8), "0000 -> ") << "the mark is not part of the first record";
  ExpectImageIsTheBinary();
}

TEST_F(HexRealFileTest, CtrlZRightAfterTheEndRecordAndOnItsOwnLinesLoads) {
  std::string text = Join(lines_, "\n");
  text.pop_back();  // no line end after the end record
  EXPECT_EQ(LoadText(text + "\x1A").size(), data_records_);
  ExpectImageIsTheBinary();
  EXPECT_EQ(LoadText(Join(lines_, "\n") + "\x1A\n\x1A\x1A\r\n").size(), data_records_);
  ExpectImageIsTheBinary();
}

TEST_F(HexRealFileTest, CommentsAndBlankTextAfterTheEndRecordAreSkipped) {
  const std::string tail =
      "\n; built 2026-12-09 by make: release\n   \t\nchecksum of image: ok\n-- end --\n";
  EXPECT_EQ(LoadText(Join(lines_, "\n") + tail).size(), data_records_);
  ExpectImageIsTheBinary();
}

TEST_F(HexRealFileTest, TextLinesBeforeAndBetweenRecordsAreSkipped) {
  auto lines = lines_;
  lines.insert(lines.begin() + 4000, "# commit 1795d9f0c3e2a1b4d6f8, checked: yes");
  lines.insert(lines.begin() + 2, "--");
  lines.insert(lines.begin(), "; built 2026-12-09 12:30:05 by make: release");
  EXPECT_EQ(LoadText(Join(lines, "\r\n")).size(), data_records_);
  ExpectImageIsTheBinary();
}

TEST_F(HexRealFileTest, RecordsAfterTheEndRecordAreStillLoadedBetweenComments) {
  const std::string tail = "; patch\n" + Segment(0) + "\n" + Data(0x0010, {0xA1, 0xA2}) + "\n";
  EXPECT_EQ(LoadText(Join(lines_, "\n") + tail).size(), data_records_ + 1);
  binary_[0x10] = 0xA1;
  binary_[0x11] = 0xA2;
  ExpectImageIsTheBinary();
}

TEST_F(HexRealFileTest, RecordTypesSixAndAboveAreSkipped) {
  auto lines = lines_;
  // Between data records and in the upper segment, so a skipped record must not move the base.
  lines.insert(lines.begin() + 5, Record(0x06, 0x1234, {0x01, 0x02, 0x03}));
  lines.insert(lines.begin() + 5000, Record(0x0A, 0x0000, {0xFF, 0xFF}));
  lines.insert(lines.end() - 1, Record(0xFF, 0xFFFF, {}));
  EXPECT_EQ(LoadText(Join(lines, "\n")).size(), data_records_);
  ExpectImageIsTheBinary();
}

// ---- Still refused: each would put wrong bytes into the device ----

TEST_F(HexRealFileTest, OneBadChecksumIsRefusedWithItsLineNumber) {
  auto lines = lines_;
  std::string& line = lines[99];  // line 100
  line.back() = line.back() == '0' ? '1' : '0';
  ExpectRefusedOnLine(Join(lines, "\n"), 100, "checksum");
  // The extras change nothing about that.
  ExpectRefusedOnLine("\xEF\xBB\xBF" + Join(lines, "\r\n") + "\x1A", 100, "checksum");
}

TEST_F(HexRealFileTest, ANonHexDigitInARecordIsRefused) {
  auto lines = lines_;
  lines[1999][20] = 'O';  // letter O for digit 0
  ExpectRefusedOnLine(Join(lines, "\n"), 2000, "bad hex digit 'O' at column 21");
  lines = lines_;
  lines[1999][20] = '\x1A';  // Ctrl-Z inside a record is no end of text
  ExpectRefusedOnLine(Join(lines, "\n"), 2000, "bad hex digit 0x1A at column 21");
}

TEST_F(HexRealFileTest, AByteCountAgainstTheLengthIsRefused) {
  auto lines = lines_;
  lines[9].erase(13, 2);  // one data byte lost in transfer
  ExpectRefusedOnLine(Join(lines, "\n"), 10, "byte count 16");
}

TEST_F(HexRealFileTest, DataAtTheImageEndAndAboveIsRefused) {
  // 32 bytes from 0x1FFF0: the second record lies at 0x20000.
  WriteFile(dir_ / "tail.bin", std::string(32, '\x5A'));
  const std::string cmd = "cd '" + (dir_ / "") +
                          "' && objcopy -I binary -O ihex --change-addresses 0x1FFF0 tail.bin "
                          "tail.hex";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  const auto tail = Lines(ReadFile(dir_ / "tail.hex"));
  const auto at = std::find_if(tail.begin(), tail.end(),
                               [](const auto& l) { return l.compare(3, 6, "000000") == 0; });
  ASSERT_NE(at, tail.end()) << "no record at offset 0 of the upper segment";
  ExpectRefusedOnLine(Join(tail, "\n"), static_cast<std::size_t>(at - tail.begin()) + 1,
                      "outside the image");
}

TEST_F(HexRealFileTest, TextThatMayBeARecordIsRefused) {
  auto lines = lines_;
  lines[49].erase(0, 1);  // start code lost
  ExpectRefusedOnLine(Join(lines, "\n"), 50, "does not start with ':'");
  lines = lines_;
  lines[49][0] = ';';  // start code changed: not taken as a comment
  ExpectRefusedOnLine(Join(lines, "\n"), 50, "does not start with ':'");
  lines = lines_;
  lines[49] = "> " + lines[49];  // quoted: text in front of the start code
  ExpectRefusedOnLine(Join(lines, "\n"), 50, "does not start with ':'");
  // After the end record a line of hex digits is still a record without its ':'.
  ExpectRefusedOnLine(Join(lines_, "\n") + "10000000DEADBEEF\n", lines_.size() + 1,
                      "does not start with ':'");
  // A mark is an extra only at the start of the file.
  lines = lines_;
  lines[49] = "\xEF\xBB\xBF" + lines[49];
  ExpectRefusedOnLine(Join(lines, "\n"), 50, "does not start with ':'");
}

// ---- Input that is not a regular file ----

class HexFileInputTest : public ::testing::Test {
 protected:
  // The file error of loading the path, or "" when it loaded.
  std::string LoadError(const std::string& path) {
    try {
      LoadHexFile(path, *image_);
    } catch (const framework::EFileError& e) {
      return e.Message();
    }
    return "";
  }

  TempDir dir_;
  std::unique_ptr<FirmwareImageBytes> image_ = std::make_unique<FirmwareImageBytes>();
};

TEST_F(HexFileInputTest, AFifoIsRefusedWithoutWaitingForAWriter) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs in its file system";
#else
  const std::string path = dir_ / "pipe.hex";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const std::string link = dir_ / "link.hex";
  fs::create_symlink(path, link);
  for (const std::string& p : {path, link}) {
    SCOPED_TRACE(p);
    auto result = std::async(std::launch::async, [&] { return LoadError(p); });
    if (result.wait_for(5s) != std::future_status::ready) {
      // Open and close the writing end so that the blocked open returns.
      const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
      ADD_FAILURE() << "the loader waited for a writer";
    }
    const std::string message = result.get();
    EXPECT_NE(message.find("\"" + p + "\""), std::string::npos) << message;
    EXPECT_NE(message.find("a FIFO, not a regular file"), std::string::npos) << message;
  }
#endif
}

TEST_F(HexFileInputTest, DevicesAndFoldersAreRefusedNamingThePath) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no /dev/zero to try";
#else
  std::string message = LoadError("/dev/zero");
  EXPECT_EQ(message,
            "Cannot open file \"/dev/zero\". It is a character device, not a regular file");
  message = LoadError(dir_.Path().string());
  EXPECT_NE(message.find("\"" + dir_.Path().string() + "\""), std::string::npos) << message;
  EXPECT_NE(message.find("Is a directory"), std::string::npos) << message;
#endif
}

TEST_F(HexFileInputTest, AFileOverTheLimitIsRefusedBeforeReading) {
  const std::string path = dir_ / "huge.hex";
  WriteFile(path, "");
  fs::resize_file(path, framework::kMaxTextFileBytes + 1);  // sparse: costs no disk
  const std::string message = LoadError(path);
  EXPECT_EQ(message, "Cannot open file \"" + path +
                         "\". The file is 67108865 bytes; at most 64 MiB are read");
}

TEST_F(HexFileInputTest, TheLimitItselfIsAccepted) {
  const std::string path = dir_ / "small.hex";
  WriteFile(path, Join({Data(0, {1, 2, 3}), kEof}, "\n"));
  const auto size = fs::file_size(path);
  EXPECT_EQ(framework::ReadTextLines(path, size).size(), 2u);
  try {
    framework::ReadTextLines(path, size - 1);
    ADD_FAILURE() << "read a file over the limit";
  } catch (const framework::EFileError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". The file is " +
                               std::to_string(size) + " bytes; at most " +
                               std::to_string(size - 1) + " bytes are read");
  }
}

TEST_F(HexFileInputTest, ALinkToARegularFileIsRead) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows";
#else
  const std::string path = dir_ / "real.hex";
  WriteFile(path, Data(0x0100, {0x42}) + "\n" + kEof + "\n");
  const std::string link = dir_ / "link.hex";
  fs::create_symlink(path, link);
  image_->fill(0);
  EXPECT_EQ(LoadHexFile(link, *image_).size(), 1u);
  EXPECT_EQ((*image_)[0x100], 0x42);
#endif
}

}  // namespace
}  // namespace comflash
