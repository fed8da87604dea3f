// Why one process per port: the port component hands its threads'
// notifications to the one main thread of a process, and the upload polls
// the port from that thread while it runs. Two uploads in one process would
// share one main thread and its call queue, so each would stall the other's
// reply waits; a process per port gives each port its own main thread, its
// own queue and its own port object, and a fault in one board's run cannot
// reach another's.
#include "tools/cli/MultiPort.h"

#include <algorithm>

#include "tools/cli/Platform.h"
#include "tools/cli/Result.h"

namespace cli {

int FlashSeveral(const Options& opt, Output& out) {
  const std::string self = SelfPath();
  std::vector<std::vector<std::string>> commands;
  for (const auto& port : opt.ports) {
    std::vector<std::string> c{self, "--label", port, "-p", port};
    if (opt.verbose) c.push_back("--verbose");
    if (opt.quiet) c.push_back("--quiet");
    if (opt.json) c.push_back("--json");
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
  out.Message("summary: " + std::to_string(succeeded) + " of " + std::to_string(opt.ports.size()) +
              " ports written: " + each);
  if (InterruptStatus() != 0 && worst != kExitOk) return InterruptStatus();
  return worst;
}

}  // namespace cli
