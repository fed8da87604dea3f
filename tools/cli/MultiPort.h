// Several boards at once: the same image to every port, in parallel.
#pragma once

#include "tools/cli/Image.h"
#include "tools/cli/Options.h"
#include "tools/cli/Output.h"

namespace cli {

// Runs one upload per port of opt, each in a process of its own (this
// program again, with the port's name as its label), and says how each
// ended. With JSON, one object per port in the order of opt.ports, also for
// an upload that ended before it could report (killed, or not started).
// Returns 0 when every port succeeded, otherwise the highest exit status
// among them, or the interruption's status.
int FlashSeveral(const Options& opt, const LoadedImage& image, Output& out);

}  // namespace cli
