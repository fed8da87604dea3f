// comflash-cli on Windows: what a port name stands for.
#include <cctype>

#include "tools/cli/Platform.h"

namespace cli {

std::string PortIdentity(const std::string& port) {
  // Device names are case-blind, and COM3 is \\.\COM3.
  std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace cli
