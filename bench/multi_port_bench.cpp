// Several boards at once: comflash-cli writing four simulated devices in one
// run, against the same program writing one, in the same run. Paced at
// 115200 baud, as a bench of real boards is, and unpaced for the cost of the
// flasher itself.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBin = COMFLASH_BIN_DIR;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Run {
  double seconds = 0;
  int retries = 0;          // tries that timed out or were refused, over all devices
  bool allWritten = false;  // exit 0 and every device holds the image
};

// Starts count simulated devices (ended by their own ids), writes the image
// to all of them in one comflash-cli run.
Run FlashDevices(int count, const std::vector<std::string>& simOptions, const std::string& hex,
                 const std::string& image, const testsupport::TempDir& dir) {
  std::vector<std::unique_ptr<testsupport::BackgroundProgram>> sims;
  std::vector<std::string> dumps;
  std::string ports;
  for (int i = 0; i < count; ++i) {
    dumps.push_back(dir / ("dev" + std::to_string(count) + "-" + std::to_string(i) + ".bin"));
    std::vector<std::string> argv{kBin + "/comflash-sim", "--dump", dumps.back()};
    argv.insert(argv.end(), simOptions.begin(), simOptions.end());
    sims.push_back(std::make_unique<testsupport::BackgroundProgram>(argv));
    ports += (i ? "," : "") + sims.back()->ReadLine().value_or("");
  }
  const auto t0 = Clock::now();
  const auto r = testsupport::RunProgram({kBin + "/comflash-cli", "-q", "-p", ports, hex},
                                         std::chrono::minutes(5));
  Run run;
  run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  run.allWritten = r.status == 0;
  for (const auto& d : dumps)
    run.allWritten = run.allWritten && ReadFile(d).substr(0x0C00, image.size()) == image;
  const std::regex summary("summary: [^\n]* ([0-9]+) retr");
  for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), summary);
       it != std::sregex_iterator(); ++it)
    run.retries += std::stoi((*it)[1]);
  if (r.status != 0) std::fprintf(stderr, "comflash-cli ended %d:\n%s", r.status, r.err.c_str());
  return run;
}

}  // namespace

int main() {
  testsupport::TempDir dir("comflash-multi-bench");
  const testsupport::SampleImage sample(dir, 7);
  const std::string& image = sample.Bytes();
  const std::string& hex = sample.Hex();

  int failures = 0;
  for (const auto& [name, options] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"paced at 115200 baud", {"--baud", "115200"}}, {"unpaced", {}}}) {
    const Run one = FlashDevices(1, options, hex, image, dir);
    const Run four = FlashDevices(4, options, hex, image, dir);
    std::printf(
        "%s: one device %.2f s (%d retries), four at once %.2f s (%d retries), ratio %.2f, "
        "all byte-exact: %s\n",
        name.c_str(), one.seconds, one.retries, four.seconds, four.retries,
        four.seconds / one.seconds, one.allWritten && four.allWritten ? "yes" : "NO");
    failures += !(one.allWritten && four.allWritten);
  }
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("(%ld processors online, load average %.1f)\n", sysconf(_SC_NPROCESSORS_ONLN),
              load[0]);
  return failures ? 1 : 0;
}
