// One port's upload in comflash-cli: open, reset and purge, run, close, on
// every way out, and an interruption honoured at the run's next safe point.
#pragma once

#include <string>

#include "serial/device/SerialApi.h"
#include "tools/cli/Image.h"
#include "tools/cli/Output.h"
#include "tools/cli/Reporter.h"
#include "tools/cli/Result.h"

namespace cli {

// Uploads image's bytes to port and says
// what happened on out; never throws for the port's errors. A device reset
// the adapter refuses is only a warning: the purge and the upload go on.
PortResult FlashPort(const std::string& port, const LoadedImage& image, Output& out,
                     ProgressStyle style, serial::SerialApi& api = serial::PlatformSerialApi());

}  // namespace cli
