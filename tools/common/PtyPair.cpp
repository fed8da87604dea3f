#include "tools/common/PtyPair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include "tools/common/SystemError.h"

namespace tools {

namespace {

// A fresh pty echoes and buffers lines; a serial line does neither.
void MakeRaw(int fd, const char* what) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw SystemError(std::string("tcgetattr ") + what);
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw SystemError(std::string("tcsetattr ") + what);
}

}  // namespace

PtyPair::PtyPair(PtyOptions options) {
  const int master_flags =
      O_RDWR | O_NOCTTY | O_CLOEXEC | (options.nonblocking_master ? O_NONBLOCK : 0);
  master_ = framework::UniqueFd(::posix_openpt(master_flags));
  if (!master_) throw SystemError("posix_openpt");
  if (::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0)
    throw SystemError("grantpt/unlockpt");
  char name[128];
  if (::ptsname_r(master_.Get(), name, sizeof name) != 0) throw SystemError("ptsname_r");
  slave_path_ = name;
  const int slave_flags =
      O_RDWR | O_NOCTTY | O_CLOEXEC | (options.nonblocking_slave ? O_NONBLOCK : 0);
  slave_ = framework::UniqueFd(::open(name, slave_flags));
  if (!slave_) throw SystemError("open " + slave_path_);
  MakeRaw(slave_.Get(), "slave");
  MakeRaw(master_.Get(), "master");
}

}  // namespace tools
