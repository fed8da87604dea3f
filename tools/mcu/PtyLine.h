// The chip's serial line as a pseudo-terminal: the host opens the slave side,
// the harness moves bytes on the master side. The harness keeps a descriptor
// of the slave so the line stays up while the host closes and reopens it, and
// so it can read the speed the host has set there.
#pragma once

#include <string>

#include "tools/common/PtyPair.h"

namespace mcu {

class PtyLine {
 public:
  PtyLine();  // throws std::runtime_error
  const std::string& SlavePath() const { return pair_.SlavePath(); }
  int Master() const { return pair_.Master(); }
  // The baud rate the host has set on its side of the line.
  double HostBaud() const;

 private:
  tools::PtyPair pair_;
};

// The output speed of a terminal in bits per second, also for speeds set as a
// number (BOTHER). Throws std::runtime_error.
unsigned TerminalBaud(int fd);

}  // namespace mcu
