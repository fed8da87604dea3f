#include "tools/mcu/PtyLine.h"

#include <termios.h>

#include "tools/common/SystemError.h"

namespace mcu {

PtyLine::PtyLine() : pair_({.nonblocking_master = true, .nonblocking_slave = true}) {
  // The line starts at the loader's rate until the host sets its own.
  termios t{};
  if (::tcgetattr(pair_.Slave(), &t) != 0) throw tools::SystemError("tcgetattr slave");
  if (::cfsetspeed(&t, B115200) != 0) throw tools::SystemError("cfsetspeed slave");
  if (::tcsetattr(pair_.Slave(), TCSANOW, &t) != 0) throw tools::SystemError("tcsetattr slave");
}

double PtyLine::HostBaud() const {
  return TerminalBaud(pair_.Slave());
}

}  // namespace mcu
