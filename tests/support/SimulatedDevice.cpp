#include "tests/support/SimulatedDevice.h"

namespace testsupport {

SimulatedDevice::SimulatedDevice(const std::string& dumpPath, std::vector<std::string> options) {
  std::vector<std::string> argv{std::string(COMFLASH_BIN_DIR) + "/comflash-sim", "--dump",
                                dumpPath};
  argv.insert(argv.end(), options.begin(), options.end());
  program_ = std::make_unique<BackgroundProgram>(argv);
  path_ = program_->ReadLine().value_or("");
}

}  // namespace testsupport
