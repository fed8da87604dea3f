// The chip's serial line as a pseudo-terminal: the host opens the slave side,
// the harness moves bytes on the master side. The harness keeps a descriptor
// of the slave so the line stays up while the host closes and reopens it, and
// so it can read the speed the host has set there.
#pragma once

#include <string>

#include "framework/posix/UniqueFd.h"

namespace mcu {

class PtyLine {
 public:
  PtyLine();  // throws std::runtime_error
  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_.Get(); }
  // The baud rate the host has set on its side of the line.
  double HostBaud() const;

 private:
  framework::UniqueFd master_;
  framework::UniqueFd slave_;
  std::string slave_path_;
};

// The output speed of a terminal in bits per second, also for speeds set as a
// number (BOTHER). Throws std::runtime_error.
unsigned TerminalBaud(int fd);

}  // namespace mcu
