// comflash-sim started beside a test, its memory dumped to a file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace testsupport {

class SimulatedDevice {
 public:
  // Starts the simulator with --dump dumpPath and the extra options; Path()
  // is empty when it did not start.
  SimulatedDevice(const std::string& dumpPath, std::vector<std::string> options = {});

  const std::string& Path() const { return path_; }
  BackgroundProgram& Program() { return *program_; }

 private:
  std::unique_ptr<BackgroundProgram> program_;
  std::string path_;
};

}  // namespace testsupport
