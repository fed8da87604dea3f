// The main of a simulated device (comflash-sim, comflash-mcu): standard
// descriptors made safe, the command line read, --help, the run, and the exit
// statuses 0, 1 (a failure) and 64 (a usage error) with the reason on stderr.
#pragma once

#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace tools {

// Opens /dev/null on a closed standard descriptor, which would otherwise be
// reused for the line, and event lines or reads of stdin would land on the
// device. Returns false when that fails.
bool FillClosedStandardDescriptors();

// parse(args) returns the command line or throws UsageErrorT; cl.help asks
// for help_text(); serve(cl) runs and returns the exit status.
template <typename UsageErrorT, typename Parse, typename HelpText, typename Serve>
int ToolMain(const std::string& program, int argc, char** argv, Parse parse, HelpText help_text,
             Serve serve) {
  if (!FillClosedStandardDescriptors()) return 1;
  decltype(parse(std::vector<std::string>{})) cl;
  try {
    cl = parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageErrorT& e) {
    std::cerr << program << ": " << e.what() << "\nTry '" << program << " --help'.\n";
    return 64;
  }
  if (cl.help) {
    std::cout << help_text();
    return 0;
  }
  try {
    return serve(cl);
  } catch (const std::exception& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace tools
