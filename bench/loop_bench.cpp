// The production loop (comflash-cli --loop) against the bare host, on the
// same simulated device paced at 115200 baud: a board's time from its answer
// to its last acknowledgement, for the first board and for one put on after
// a swap, and the CPU the loop costs while it waits for a board and while it
// waits for a written one to be taken off. Times are taken from the device's
// event lines as they arrive, for the loop and the bare host alike.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BareHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SampleImage.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
const std::string kBin = COMFLASH_BIN_DIR;

std::unique_ptr<testsupport::BackgroundProgram> StartSim(std::vector<std::string> options,
                                                         std::string& path) {
  options.insert(options.begin(), kBin + "/comflash-sim");
  auto sim = std::make_unique<testsupport::BackgroundProgram>(options);
  path = sim->ReadLine().value_or("");
  return sim;
}

// From the first handshake after `after` (a line of the device, or "" for
// none) to block 125's acknowledgement, in seconds; nothing if it did not
// come within the time.
std::optional<double> BoardTime(testsupport::BackgroundProgram& sim, const std::string& after) {
  bool armed = after.empty();
  std::optional<Clock::time_point> answered;
  while (const auto line = sim.ReadLine(30s)) {
    if (!armed) {
      armed = *line == after;
      continue;
    }
    if (!answered && *line == "HANDSHAKE") answered = Clock::now();
    if (answered && *line == "BLOCK 125 OK")
      return std::chrono::duration<double>(Clock::now() - *answered).count();
  }
  return std::nullopt;
}

// CPU seconds a process has used so far (user + system), from /proc.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i == 14 || i == 15) ticks += std::stod(f);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Waits until the loop's standard error holds text.
bool LoopSays(const std::string& errFile, const std::string& text) {
  const auto end = Clock::now() + 30s;
  for (;;) {
    std::ifstream in(errFile);
    const std::string err((std::istreambuf_iterator<char>(in)), {});
    if (err.find(text) != std::string::npos) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// The loop's CPU share over `span`, once `ready` is on its standard error.
std::optional<double> LoopCpuShare(pid_t pid, const std::string& errFile, const std::string& ready,
                                   Clock::duration span) {
  if (!LoopSays(errFile, ready)) return std::nullopt;
  const double cpu0 = ProcessCpu(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(span);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  return (ProcessCpu(pid) - cpu0) / wall;
}

std::unique_ptr<testsupport::BackgroundProgram> StartLoop(const std::string& port,
                                                          const std::string& hex,
                                                          const std::string& errFile) {
  return std::make_unique<testsupport::BackgroundProgram>(
      std::vector<std::string>{"/usr/bin/env", "ERRFILE=" + errFile, "/bin/sh", "-c",
                               "exec \"$0\" \"$@\" >/dev/null 2>\"$ERRFILE\"",
                               kBin + "/comflash-cli", "--loop", "-p", port, hex});
}

}  // namespace

int main() {
  testsupport::TempDir dir("comflash-loop-bench");
  const testsupport::SampleImage sample(dir, 11);
  const std::string& hex = sample.Hex();
  const std::vector<std::string> paced{"--baud", "115200"};

  // Taken in turn, the better of two each: one disturbed run decides nothing.
  double bare = 1e9, first = 1e9, swapped = 1e9;
  bool complete = true;
  for (int round = 0; round < 2; ++round) {
    {
      std::string path;
      auto sim = StartSim(paced, path);
      std::thread host([&] {
        const int fd = bench::RawOpen(path);
        bench::BareUpload(fd);
        close(fd);
      });
      const auto t = BoardTime(*sim, "");
      host.join();
      complete = complete && t;
      if (t) bare = std::min(bare, *t);
    }
    {
      std::string path;
      auto sim = StartSim(paced, path);
      const std::string err = dir / ("loop" + std::to_string(round) + ".err");
      auto loop = StartLoop(path, hex, err);
      const auto t1 = BoardTime(*sim, "");
      // Taken off once the loop has its acknowledgement, not when the device
      // stored the block: an answer still on its way would go with the board.
      complete = complete && LoopSays(err, "board 1 done: remove the board");
      sim->Signal(SIGUSR2);
      const auto t2 = BoardTime(*sim, "BOARD 2 ON");
      loop->Signal(SIGINT);
      complete = complete && t1 && t2 && loop->Wait(10s) == 0;
      if (t1) first = std::min(first, *t1);
      if (t2) swapped = std::min(swapped, *t2);
    }
  }

  // The loop waiting: on an empty fixture (a device that never answers), and
  // beside a written board left on (an unpaced device that answers).
  std::optional<double> waiting, removing;
  {
    std::string path;
    auto sim = StartSim({"--handshake", "silent"}, path);
    auto loop = StartLoop(path, hex, dir / "wait.err");
    waiting = LoopCpuShare(loop->Pid(), dir / "wait.err", "waiting for a board", 10s);
    loop->Signal(SIGINT);
    complete = complete && loop->Wait(10s) == 0;
  }
  {
    std::string path;
    auto sim = StartSim({}, path);
    auto loop = StartLoop(path, hex, dir / "remove.err");
    removing = LoopCpuShare(loop->Pid(), dir / "remove.err", "remove the board", 10s);
    loop->Signal(SIGINT);
    complete = complete && loop->Wait(10s) == 0;
  }

  std::printf(
      "paced at 115200 baud, a board's answer to its last acknowledgement (better of 2):\n");
  std::printf("  bare host, one upload:          %8.3f s\n", bare);
  std::printf("  --loop, first board:            %8.3f s  ratio %.4f\n", first, first / bare);
  std::printf("  --loop, board after a swap:     %8.3f s  ratio %.4f\n", swapped, swapped / bare);
  std::printf("CPU of the loop over 10 s (bare host waiting in poll(): 0 %%):\n");
  std::printf("  waiting for a board (silent line):   %5.2f %% of a core\n",
              waiting.value_or(-1) * 100);
  std::printf("  awaiting a written board's removal:  %5.2f %% of a core\n",
              removing.value_or(-1) * 100);
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("(%ld processors online, load average %.1f)\n", sysconf(_SC_NPROCESSORS_ONLN),
              load[0]);

  bool ok = complete && waiting && removing;
  const auto guard = [&](const char* what, double figure, double bound, const char* unit) {
    const bool held = figure <= bound;
    std::printf("  guard: %-44s %.4f%s <= %.4f%s  %s\n", what, figure, unit, bound, unit,
                held ? "ok" : "FAILED");
    ok = ok && held;
  };
  guard("a loop's board against the bare host", std::max(first, swapped) / bare, 1.005, " x");
  guard("CPU of a loop waiting for a board", waiting.value_or(1) * 100, 1.0, " %");
  if (!complete) std::printf("  a run did not complete\n");
  return ok ? 0 : 1;
}
