#include "tools/mcu/PtyLine.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace mcu {

namespace {

std::runtime_error SysError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// A fresh pty echoes and buffers lines; a serial line does neither.
void MakeRaw(int fd, const std::string& what) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw SysError("tcgetattr " + what);
  ::cfmakeraw(&t);
  if (::cfsetspeed(&t, B115200) != 0) throw SysError("cfsetspeed " + what);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw SysError("tcsetattr " + what);
}

}  // namespace

PtyLine::PtyLine() {
  master_ = framework::UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master_) throw SysError("posix_openpt");
  if (::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0)
    throw SysError("grantpt/unlockpt");
  char name[128];
  if (::ptsname_r(master_.Get(), name, sizeof name) != 0) throw SysError("ptsname_r");
  slave_path_ = name;
  slave_ = framework::UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!slave_) throw SysError("open " + slave_path_);
  MakeRaw(slave_.Get(), "slave");
}

double PtyLine::HostBaud() const {
  return TerminalBaud(slave_.Get());
}

}  // namespace mcu
