// comflash-cli.exe under Wine against the Linux simulated device: each test
// maps the device's pseudo-terminal as a COM port of the Wine prefix and runs
// the Windows program. Started by tests/wine/run.sh, which makes the prefix.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include <signal.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"
#include "tests/support/Utf8Check.h"

using namespace std::chrono_literals;
using testsupport::RunProgram;
namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the device printed after the lines already read, for failure messages.
std::string Lines(testsupport::BackgroundProgram& device) {
  std::string all;
  for (const auto& l : device.Lines(std::chrono::milliseconds(200))) all += "[" + l + "] ";
  return all;
}

class CliUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = Env("WINEPREFIX");
    windows_bin_ = Env("COMFLASH_WINDOWS_BIN");
    preload_ = Env("COMFLASH_WINE_PRELOAD");
    if (prefix_.empty() || windows_bin_.empty())
      GTEST_SKIP() << "needs WINEPREFIX and COMFLASH_WINDOWS_BIN (tests/wine/run.sh sets them)";
    ASSERT_TRUE(fs::exists(windows_bin_ + "/comflash-cli.exe"));
    sample_ = std::make_unique<testsupport::SampleImage>(dir_, 12);
    hex_ = sample_->Hex();
  }
  void TearDown() override {
    for (const auto& link : links_) fs::remove(link);
  }

  // Starts the simulated device and maps it as comName in the prefix.
  void StartDevice(const std::string& comName, std::vector<std::string> options = {}) {
    device_ = std::make_unique<testsupport::SimulatedDevice>(Dump(), std::move(options));
    ASSERT_FALSE(device_->Path().empty()) << "the simulator did not start";
    Map(comName, device_->Path());
  }
  void Map(std::string comName, const std::string& target) {
    for (auto& c : comName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const fs::path link = fs::path(prefix_) / "dosdevices" / comName;
    fs::remove(link);
    fs::create_symlink(target, link);
    links_.push_back(link);
  }
  void Unmap(std::string comName) {
    for (auto& c : comName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fs::remove(fs::path(prefix_) / "dosdevices" / comName);
  }
  std::string Dump() const { return dir_ / "device.bin"; }

  testsupport::RunResult Flash(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/env"};
    if (!preload_.empty()) argv.push_back("LD_PRELOAD=" + preload_);
    argv.push_back("wine");
    argv.push_back(windows_bin_ + "/comflash-cli.exe");
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, 90s);
  }

  testsupport::TempDir dir_{"comflash-wine-cli"};
  std::string prefix_, windows_bin_, preload_;
  std::unique_ptr<testsupport::SampleImage> sample_;
  std::string hex_;
  std::vector<fs::path> links_;
  std::unique_ptr<testsupport::SimulatedDevice> device_;
};

}  // namespace

TEST_F(CliUnderWine, UploadsAnObjcopyImageOnCom3ByteExact) {
  StartDevice("COM3");
  const auto r = Flash({"-q", hex_});  // COM3 is the default port
  ASSERT_EQ(r.status, 0) << r.err << r.out << "\ndevice: " << device_->Program().Seen()
                         << Lines(device_->Program());
  EXPECT_NE(r.out.find("Процесс прошивки закончен, брат!"), std::string::npos) << r.out;
  device_->Program().Stop();  // the dump is complete once the device has ended
  const std::string memory = ReadFile(Dump());
  ASSERT_EQ(memory.size(), 0x20000u);
  EXPECT_TRUE(memory.substr(0x0C00, sample_->Bytes().size()) == sample_->Bytes())
      << "the device's memory differs";
}

TEST_F(CliUnderWine, AMissingPortExitsThreeWithTheDeviceName) {
  Unmap("COM9");
  const auto r = Flash({"-q", "-p", "COM9", hex_});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("Specified device not found (\\\\.\\COM9)."), std::string::npos) << r.err;
}

TEST_F(CliUnderWine, ADamagedFileExitsFourAndLeavesThePortAlone) {
  StartDevice("COM3");
  std::string text = ReadFile(hex_);
  text[text.size() / 2] = 'G';  // a bad hex digit half-way
  const std::string bad = dir_ / "bad.hex";
  std::ofstream(bad, std::ios::binary) << text;
  const auto r = Flash({"-q", bad});
  EXPECT_EQ(r.status, 4) << r.err;
  device_->Program().Stop();
  EXPECT_EQ(ReadFile(Dump()), std::string(0x20000, '\0')) << "nothing may reach the device";
}

TEST_F(CliUnderWine, ADeviceThatHangsUpMidRunEndsWithTheErrorAndNoHang) {
  StartDevice("COM3", {"--drop-after", "10"});
  const auto start = std::chrono::steady_clock::now();
  const auto r = Flash({"-q", hex_});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("went away during block"), std::string::npos) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
}

TEST_F(CliUnderWine, ASilentDeviceExitsOneAfterTheHandshakeWait) {
  StartDevice("COM3", {"--handshake", "silent"});
  const auto r = Flash({"-q", hex_});
  EXPECT_EQ(r.status, 1) << r.err;
}

TEST_F(CliUnderWine, ABlockRefusedSixTimesExitsTwo) {
  StartDevice("COM3", {"--refuse", "7:6"});
  const auto r = Flash({"-q", hex_});
  EXPECT_EQ(r.status, 2) << r.err;
}

// A production line under Wine: Wine hands SIGINT to the program as the
// console's Ctrl-C.
TEST_F(CliUnderWine, LoopsBoardAfterBoardOnCom3AndEndsAtCtrlC) {
  StartDevice("COM3");
  auto& sim = device_->Program();
  const std::string err = dir_ / "loop.err";
  std::vector<std::string> argv{"/usr/bin/env", "ERRFILE=" + err};
  if (!preload_.empty()) argv.push_back("LD_PRELOAD=" + preload_);
  argv.insert(argv.end(), {"/bin/sh", "-c", "exec wine \"$0\" \"$@\" >/dev/null 2>\"$ERRFILE\"",
                           windows_bin_ + "/comflash-cli.exe", "--loop", hex_});
  testsupport::BackgroundProgram cli(argv);
  const auto says = [&](const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (ReadFile(err).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  };
  ASSERT_TRUE(says("board 1: completed, 123 of 123 blocks")) << ReadFile(err);
  ASSERT_TRUE(says("board 1 done: remove the board")) << ReadFile(err);
  std::this_thread::sleep_for(1500ms);  // left on: greeted, not written again
  sim.Signal(SIGUSR2);
  ASSERT_TRUE(says("board 2: completed, 123 of 123 blocks")) << ReadFile(err);
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 0) << ReadFile(err);
  EXPECT_NE(ReadFile(err).find("session: 2 boards, 2 written, 0 failed"), std::string::npos)
      << ReadFile(err);
  sim.Signal(SIGTERM);
  int firstBlocks = 0;
  for (const auto& line : sim.Lines(5s)) firstBlocks += line == "BLOCK 3 OK";
  EXPECT_EQ(firstBlocks, 2);
  for (const std::string& dump : {Dump(), Dump() + ".2"})
    EXPECT_TRUE(ReadFile(dump).substr(0x0C00, sample_->Bytes().size()) == sample_->Bytes())
        << dump << " differs";
}

// Names of any language: a Cyrillic folder, and a file and a folder whose
// letters (Greek) lie outside the ANSI code page of a Russian and of a
// Western system alike.
TEST_F(CliUnderWine, AHexAndALogInFoldersOfAnyLanguageUploadByteExact) {
  StartDevice("COM3");
  const fs::path firmware = dir_.Path() / "Прошивки";
  const fs::path logs = dir_.Path() / "Журналы λόγος";
  fs::create_directories(firmware);
  fs::create_directories(logs);
  const fs::path hex = firmware / "образ-ω.hex";
  fs::copy_file(hex_, hex);
  const fs::path log = logs / "запуск.log";
  const auto r = Flash({"-q", "--log", log.string(), "-p", "COM3", hex.string()});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  device_->Program().Stop();
  const std::string memory = ReadFile(Dump());
  ASSERT_EQ(memory.size(), 0x20000u);
  EXPECT_TRUE(memory.substr(0x0C00, sample_->Bytes().size()) == sample_->Bytes())
      << "the device's memory differs";
  ASSERT_TRUE(fs::exists(log)) << "no log in the folder named";
  const std::string text = ReadFile(log.string());
  EXPECT_TRUE(testsupport::IsUtf8(text)) << text;
  EXPECT_NE(text.find("Процесс прошивки закончен, брат!"), std::string::npos) << text;
}

// Each failure's JSON object and message come out as UTF-8, whatever the
// system's code pages, with the names and the system's texts intact.
TEST_F(CliUnderWine, EveryFailureSaysItInUtf8) {
  const fs::path folder = dir_.Path() / "Прошивки ω";
  fs::create_directories(folder);
  const fs::path missing = folder / "нет-файла.hex";
  const fs::path bad = folder / "испорчен.hex";
  std::string text = ReadFile(hex_);
  text[text.size() / 2] = 'G';
  std::ofstream(bad, std::ios::binary) << text;

  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> device;
    int status;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"no such file", {"-p", "COM3", missing.string()}, {}, 4, missing.filename().string()},
      {"a damaged file", {"-p", "COM3", bad.string()}, {}, 4, bad.filename().string()},
      {"no such port", {"-p", "COM9", hex_}, {}, 3, "COM9"},
      {"a silent device", {"-p", "COM3", hex_}, {"--handshake", "silent"}, 1, "COM3"},
      {"a refused block", {"-p", "COM3", hex_}, {"--refuse", "7:6"}, 2, "COM3"},
  };
  Unmap("COM9");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartDevice("COM3", c.device);
    std::vector<std::string> args{"-q", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = Flash(args);
    device_->Program().Stop();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(testsupport::IsUtf8(r.out))
        << "stdout breaks UTF-8 at byte " << testsupport::FirstNonUtf8(r.out) << ": " << r.out;
    EXPECT_TRUE(testsupport::IsUtf8(r.err))
        << "stderr breaks UTF-8 at byte " << testsupport::FirstNonUtf8(r.err) << ": " << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^\{.*"error":".+".*\}\s*$)")))
        << "one object with its error: " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

TEST_F(CliUnderWine, ListsTheComPortsMappedInThePrefixInNumberOrder) {
  StartDevice("COM3");
  Map("COM12", device_->Path());
  const auto r = Flash({"--list"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto com3 = r.out.find("COM3");
  const auto com12 = r.out.find("COM12");
  ASSERT_NE(com3, std::string::npos) << r.out;
  ASSERT_NE(com12, std::string::npos) << r.out;
  EXPECT_LT(com3, com12) << "in number order, not as text:\n" << r.out;
}
