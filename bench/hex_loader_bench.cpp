// Times loading a full 128 KiB objcopy HEX file in-process against one run of a standalone
// HEX converter over the same file. Target: the in-process load under 2 ms.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/HexLoader.h"
#include "framework/TextFile.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "hexbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

extern "C" char** environ;

// Runs a program directly (no shell in between, so only the tool itself is timed).
void Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + args[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(args[0] + " failed");
}

template <typename F>
double MedianMs(int runs, F&& body) {
  std::vector<double> ms;
  ms.reserve(static_cast<std::size_t>(runs));
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    body();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main() {
  try {
    TempDir dir;
    const auto bin = dir.Path() / "img.bin";
    const auto hex = dir.Path() / "img.hex";
    std::vector<char> binary(comflash::kFirmwareImageSize);
    std::mt19937 gen(std::random_device{}());
    std::uniform_int_distribution<int> dist(0, 255);
    for (auto& b : binary) b = static_cast<char>(dist(gen));
    std::ofstream(bin, std::ios::binary).write(binary.data(), std::ssize(binary));
    Run("objcopy -I binary -O ihex '" + bin.string() + "' '" + hex.string() + "'");

    auto image = std::make_unique<comflash::FirmwareImageBytes>();
    const auto lines = framework::ReadTextLines(hex.string());
    // Warm-up, and a check that the figures are for a correct load.
    comflash::LoadHexRecords(lines, hex.string(), *image);
    if (!std::equal(image->begin(), image->end(), binary.begin(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
      throw std::runtime_error("loaded image differs from the binary");

    constexpr int kRuns = 50;
    std::size_t logLines = 0;
    const double parseMs = MedianMs(
        kRuns, [&] { logLines = comflash::LoadHexRecords(lines, hex.string(), *image).size(); });
    const double fileMs = MedianMs(kRuns, [&] { comflash::LoadHexFile(hex.string(), *image); });
    const double toolMs = MedianMs(9, [&] {
      Spawn({"srec_cat", hex.string(), "-intel", "-o", "/dev/null", "-binary"});
    });

    std::printf("HEX file: %ju bytes, %zu lines, %zu data records\n",
                static_cast<std::uintmax_t>(fs::file_size(hex)), lines.size(), logLines);
    std::printf("in-process load, lines already read (median of %d): %.3f ms\n", kRuns, parseMs);
    std::printf("in-process load, with reading the file (median of %d): %.3f ms\n", kRuns, fileMs);
    std::printf("srec_cat as a process (median of 9):                  %.3f ms\n", toolMs);
    std::printf("ratio srec_cat / in-process load: %.1fx (with reading: %.1fx)\n", toolMs / parseMs,
                toolMs / fileMs);
    std::printf("2 ms target for the in-process load: %s\n", parseMs < 2.0 ? "met" : "NOT met");
    return parseMs < 2.0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hex_loader_bench: %s\n", e.what());
    return 2;
  }
}
