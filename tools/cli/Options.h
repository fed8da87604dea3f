// comflash-cli's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

struct Options {
  std::vector<std::string> ports;  // at least one after parsing; COM3 by default
  std::string file;
  bool verbose = false;
  bool quiet = false;
  bool list = false;
  bool json = false;
  bool loop = false;     // board after board until interrupted
  std::string log;       // the --log file, "" for none
  std::string label;     // internal: the port name a multi-port run gives each of its uploads
  std::string jsonFile;  // internal: where such an upload puts its JSON object
};

// Parses argv into opt. Returns nothing to go on, or the exit status to end
// with: 0 after --help or --version, 64 after a usage error (said on
// standard error).
std::optional<int> ParseOptions(int argc, char** argv, Options& opt);

}  // namespace cli
