// Several boards at once: the same image to every port, in parallel.
#pragma once

#include "tools/cli/Options.h"
#include "tools/cli/Output.h"

namespace cli {

// Runs one upload per port of opt, each in a process of its own (this
// program again, with the port's name as its label), and says how each
// ended. Returns 0 when every port succeeded, otherwise the highest exit
// status among them, or the interruption's status.
int FlashSeveral(const Options& opt, Output& out);

}  // namespace cli
