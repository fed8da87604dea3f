// A pseudo-terminal pair standing in for a serial line: the owner moves bytes
// on the master side, a host opens the slave by its path. The pair keeps a
// descriptor of the slave of its own, so the line stays up while the host
// closes and reopens it. Both sides are raw: bytes pass 8-bit clean.
#pragma once

#include <string>

#include "framework/posix/UniqueFd.h"

namespace tools {

struct PtyOptions {
  bool nonblocking_master = false;
  bool nonblocking_slave = false;
};

class PtyPair {
 public:
  explicit PtyPair(PtyOptions options = {});  // throws std::runtime_error

  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_.Get(); }
  int Slave() const { return slave_.Get(); }  // -1 once released
  bool Up() const { return master_.Get() >= 0; }

  // Closes the kept slave descriptor: the host's close then hangs the line up.
  void ReleaseSlave() { slave_.Reset(); }
  // Closes both sides: the host sees the line hung up, as an unplugged device.
  void HangUp() {
    slave_.Reset();
    master_.Reset();
  }

 private:
  framework::UniqueFd master_;
  framework::UniqueFd slave_;
  std::string slave_path_;
};

}  // namespace tools
