// Why one process per port: the port component hands its threads'
// notifications to the one main thread of a process, and the upload polls
// the port from that thread while it runs. Two uploads in one process would
// share one main thread and its call queue, so each would stall the other's
// reply waits; a process per port gives each port its own main thread, its
// own queue and its own port object, and a fault in one board's run cannot
// reach another's.
#include "tools/cli/MultiPort.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "tools/cli/Platform.h"
#include "tools/cli/Result.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// The object an upload left in its file, or nothing.
std::string ReadObject(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return text.empty() || text.front() != '{' || text.back() != '}' ? std::string() : text;
}

// The files the uploads put their JSON objects in, gone with this object.
class JsonFiles {
 public:
  explicit JsonFiles(std::size_t count) {
    std::error_code ec;
    const fs::path dir = fs::temp_directory_path(ec);
    std::random_device random;
    const std::string run = std::to_string(random()) + std::to_string(random());
    for (std::size_t i = 0; i < count; ++i)
      paths_.push_back(dir / ("comflash-cli-" + run + "-" + std::to_string(i) + ".json"));
  }
  ~JsonFiles() {
    std::error_code ec;
    for (const auto& p : paths_) fs::remove(p, ec);
  }
  JsonFiles(const JsonFiles&) = delete;
  JsonFiles& operator=(const JsonFiles&) = delete;
  const fs::path& operator[](std::size_t i) const { return paths_[i]; }

 private:
  std::vector<fs::path> paths_;
};

}  // namespace

int FlashSeveral(const Options& opt, const LoadedImage& image, Output& out) {
  const std::string self = SelfPath();
  const JsonFiles jsonFiles(opt.json && !opt.loop ? opt.ports.size() : 0);
  std::vector<std::vector<std::string>> commands;
  for (std::size_t i = 0; i < opt.ports.size(); ++i) {
    const std::string& port = opt.ports[i];
    std::vector<std::string> c{self, "--label", port, "-p", port};
    if (opt.verbose) c.push_back("--verbose");
    if (opt.quiet) c.push_back("--quiet");
    // A loop's uploads say their boards' objects as they go, each a line of
    // its own in one write.
    if (opt.loop) c.push_back("--loop");
    if (opt.json && opt.loop) c.push_back("--json");
    if (opt.json && !opt.loop) {
      c.push_back("--json");
      c.push_back("--json-file");
      c.push_back(jsonFiles[i].string());
    }
    if (!opt.log.empty()) {
      c.push_back("--log");
      c.push_back(opt.log);
    }
    c.push_back("--");
    c.push_back(opt.file);
    commands.push_back(std::move(c));
  }
  const std::vector<int> statuses = RunAll(commands);

  int worst = kExitOk;
  int succeeded = 0;
  std::string each;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    if (statuses[i] == kExitOk) ++succeeded;
    // One that could not be started counts as a port error.
    worst = std::max(worst, statuses[i] < 0 ? kExitPort : statuses[i]);
    each += (i ? ", " : "") + opt.ports[i] + " " + DescribeExitStatus(statuses[i]);
  }
  if (opt.loop) {
    out.Message("summary: " + std::to_string(succeeded) + " of " +
                std::to_string(opt.ports.size()) +
                " ports wrote every board they started: " + each);
  } else {
    out.Message("summary: " + std::to_string(succeeded) + " of " +
                std::to_string(opt.ports.size()) + " ports written: " + each);
  }
  if (opt.json && !opt.loop) {
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      const std::string object = ReadObject(jsonFiles[i]);
      if (!object.empty()) {
        out.Json(object);
        continue;
      }
      // The upload ended before its last word: killed, or never started.
      PortResult r;
      r.port = opt.ports[i];
      r.outcome = statuses[i] > 128 ? Outcome::kInterrupted : Outcome::kPortError;
      r.exitStatus = statuses[i] < 0 ? kExitPort : statuses[i];
      r.counted = false;
      r.crc32 = image.crc32;
      r.error = statuses[i] < 0
                    ? "the upload to " + r.port + " could not be started"
                    : "the upload to " + r.port + " " + DescribeExitStatus(statuses[i]) +
                          " before it reported; the device may hold an incomplete "
                          "image";
      out.Json(JsonObject(r));
    }
  }
  if (InterruptStatus() != 0 && worst != kExitOk) return InterruptStatus();
  return worst;
}

}  // namespace cli
