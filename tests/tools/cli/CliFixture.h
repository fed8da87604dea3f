// What the comflash-cli tests share: a random image as objcopy writes it,
// simulated devices beside the test, and runs of the flasher.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/SimulatedDevice.h"
#include "tests/support/TempDir.h"

namespace clitest {

using namespace std::chrono_literals;

inline const std::string kBin = COMFLASH_BIN_DIR;
inline const std::string kCli = kBin + "/comflash-cli";

inline std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// lines without the failure lines of single tries: on a loaded machine a try
// can time out (a piece of the frame handed to the writer after it emptied
// its buffer waits out the reply wait) and its retry mends it.
inline std::vector<std::string> WithoutFailedTries(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const auto& l : lines)
    if (!Contains(l, "Ошибка записи - Блок: N")) kept.push_back(l);
  return kept;
}

// The log lines of a whole upload that every block passes at its first try.
inline std::vector<std::string> FullUploadLog(const std::string& prefix = "") {
  std::vector<std::string> lines{prefix + "85 51 170", prefix + "Устройство готово!"};
  for (int n = 3; n <= 125; ++n)
    lines.push_back(prefix + "Блок: N" + std::to_string(n) + " успешно записан.");
  lines.push_back(prefix + "Процесс прошивки закончен, брат!");
  return lines;
}

class CliFixture : public ::testing::Test {
 protected:
  // Writes bytes at address as a HEX file made by objcopy; returns its path.
  std::string HexOf(const std::string& bytes, unsigned address, const std::string& name) {
    const std::string bin = dir_ / (name + ".bin");
    const std::string hex = dir_ / (name + ".hex");
    std::ofstream(bin, std::ios::binary) << bytes;
    const auto r =
        testsupport::RunProgram({"/usr/bin/objcopy", "-I", "binary", "-O", "ihex",
                                 "--change-addresses", std::to_string(address), bin, hex});
    EXPECT_EQ(r.status, 0) << r.err;
    return hex;
  }

  // Starts a simulated device that dumps its memory to Dump(index); returns
  // its pty path.
  std::string StartDevice(std::vector<std::string> options = {}) {
    devices_.push_back(
        std::make_unique<testsupport::SimulatedDevice>(Dump(devices_.size()), std::move(options)));
    EXPECT_FALSE(devices_.back()->Path().empty()) << "the simulator did not start";
    return devices_.back()->Path();
  }
  std::string Dump(std::size_t index = 0) const {
    return dir_ / ("device" + std::to_string(index) + ".bin");
  }
  // Whether device index holds exactly the image in blocks 3..125 and zeros
  // elsewhere.
  ::testing::AssertionResult HoldsTheImage(std::size_t index = 0) const {
    const std::string memory = ReadFile(Dump(index));
    if (memory.size() != 131072u)
      return ::testing::AssertionFailure() << "dump of " << memory.size() << " bytes";
    if (memory.substr(0x0C00, image_.size()) != image_)
      return ::testing::AssertionFailure() << "blocks 3..125 differ from the image";
    if (memory.substr(0, 0x0C00) != std::string(0x0C00, '\0') ||
        memory.substr(0x1F800) != std::string(0x800, '\0'))
      return ::testing::AssertionFailure() << "bytes outside blocks 3..125 were written";
    return ::testing::AssertionSuccess();
  }

  testsupport::RunResult Flash(std::vector<std::string> args,
                               std::chrono::milliseconds timeout = 60s) {
    args.insert(args.begin(), kCli);
    return testsupport::RunProgram(args, timeout);
  }
  // The same, with environment settings first (NAME=value).
  testsupport::RunResult FlashWithEnv(const std::vector<std::string>& env,
                                      std::vector<std::string> args) {
    std::vector<std::string> argv{"/usr/bin/env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(kCli);
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProgram(argv, 60s);
  }

  // The flasher beside the test, its standard error in errFile; the
  // process is the flasher itself, so signals reach it.
  std::unique_ptr<testsupport::BackgroundProgram> StartFlash(const std::vector<std::string>& args,
                                                             const std::string& errFile) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERRFILE\"", kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.begin(), {"/usr/bin/env", "ERRFILE=" + errFile});
    return std::make_unique<testsupport::BackgroundProgram>(argv);
  }

  testsupport::TempDir dir_{"comflash-cli"};
  testsupport::SampleImage sample_{dir_, 3};
  const std::string& image_ = sample_.Bytes();
  const std::string& hex_ = sample_.Hex();
  std::vector<std::unique_ptr<testsupport::SimulatedDevice>> devices_;
};

}  // namespace clitest
