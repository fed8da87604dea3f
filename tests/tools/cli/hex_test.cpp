// comflash-cli with HEX files that carry the extras real tools write, against the simulated
// device: the upload is byte-exact, and a damaged record is still refused with its line.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

const std::string kBin = COMFLASH_BIN_DIR;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

class CliHexFile : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = Lines(ReadAll(sample_.Hex()));
    ASSERT_GT(records_.size(), 100u);
  }

  // Writes the records as a DOS tool would: a byte-order mark, CR LF, a Ctrl-Z line at the end.
  std::string WriteDosFile(const std::vector<std::string>& records) {
    std::string text = "\xEF\xBB\xBF";
    for (const auto& r : records) text += r + "\r\n";
    text += "\x1A";
    const std::string path = dir_ / "dos.hex";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  testsupport::TempDir dir_{"comflash-cli-hex"};
  testsupport::SampleImage sample_{dir_, 11};
  std::vector<std::string> records_;
};

TEST_F(CliHexFile, AFileWithAByteOrderMarkAndACtrlZLineUploadsByteExact) {
  const std::string file = WriteDosFile(records_);
  const std::string dump = dir_ / "device.bin";
  testsupport::SimulatedDevice device(dump);
  const std::string port = device.Path();
  ASSERT_FALSE(port.empty()) << "the simulator did not start";
  const auto r = testsupport::RunProgram({kBin + "/comflash-cli", "-p", port, "-q", file}, 60s);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Lines(r.out).back(), "Процесс прошивки закончен, брат!");
  device.Program().Stop();
  const std::string memory = ReadAll(dump);
  ASSERT_EQ(memory.size(), 131072u);
  EXPECT_TRUE(memory.substr(0x0C00, sample_.Bytes().size()) == sample_.Bytes())
      << "the device holds other bytes";
  EXPECT_EQ(memory.substr(0, 0x0C00), std::string(0x0C00, '\0'));
}

TEST_F(CliHexFile, OneBadChecksumIsStillRefusedWithItsLineAndTheDeviceIsNotTouched) {
  auto records = records_;
  std::string& line = records[41];  // line 42
  line.back() = line.back() == 'F' ? 'E' : 'F';
  const std::string file = WriteDosFile(records);
  testsupport::SimulatedDevice device(dir_ / "device.bin");
  const std::string port = device.Path();
  ASSERT_FALSE(port.empty()) << "the simulator did not start";
  const auto r = testsupport::RunProgram({kBin + "/comflash-cli", "-p", port, "-q", file}, 60s);
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_NE(r.err.find(file + ":42: checksum"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  device.Program().Stop();
  EXPECT_EQ(device.Program().Lines(1s), std::vector<std::string>{}) << "the device saw a request";
}

TEST_F(CliHexFile, AFifoIsRefusedAtOnceNamingIt) {
  const std::string fifo = dir_ / "pipe.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto r = testsupport::RunProgram({kBin + "/comflash-cli", "-p", "/dev/null", fifo}, 10s);
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("\"" + fifo + "\". It is a FIFO, not a regular file"), std::string::npos)
      << r.err;
}

}  // namespace
