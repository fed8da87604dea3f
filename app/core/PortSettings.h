// The application's settings of its port object, written in one place for
// the window and the command-line flasher alike.
#pragma once

#include "serial/VaComm.h"

namespace comflash {

// 115200 baud, every flow-control setting off, the design's device name and
// version, then Loaded. The port stays closed.
void ApplyPortSettings(serial::TVaComm& port);

}  // namespace comflash
