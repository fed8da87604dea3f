// A pseudo-terminal standing in for a serial device in tests: the test holds
// the master side (the "device"), the port under test opens the slave.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/PtyPair.h"

namespace testsupport {

class Pty {
 public:
  Pty() = default;  // throws std::runtime_error

  const std::string& SlavePath() const { return pair_.SlavePath(); }
  int MasterFd() const { return pair_.Master(); }

  // Writes all bytes to the master (device to host).
  void Send(const std::vector<std::uint8_t>& bytes);
  void Send(const std::string& bytes);
  // Reads from the master until n bytes came or the timeout passed.
  std::vector<std::uint8_t> Receive(std::size_t n, std::chrono::milliseconds timeout);
  // Reads whatever arrives until the line has been quiet for `quiet`.
  std::vector<std::uint8_t> Drain(std::chrono::milliseconds quiet);
  // Closes the master: the slave sees a hang-up.
  void HangUp() { pair_.HangUp(); }
  // Closes the slave descriptor this object keeps open (so the pty survives
  // the port closing); without it the port's close hangs the line up.
  void ReleaseSlave() { pair_.ReleaseSlave(); }

 private:
  tools::PtyPair pair_;
};

// A private port map folder ($COMFLASH_PORTS) for the life of the object.
class ScopedPortMap {
 public:
  ScopedPortMap();
  ~ScopedPortMap();
  const std::string& Folder() const { return folder_; }
  // Maps COMn (for instance "COM3") to a path.
  void Map(const std::string& comName, const std::string& target);

 private:
  std::string folder_;
  std::string previous_;
  bool had_previous_ = false;
};

}  // namespace testsupport
