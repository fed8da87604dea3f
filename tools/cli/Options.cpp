#include "tools/cli/Options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <iostream>
#include <map>

#include "app/core/UploadRun.h"
#include "tools/cli/Image.h"
#include "tools/cli/Platform.h"
#include "tools/cli/Result.h"

namespace cli {

namespace {

// The protocol's numbers come from the core, as the upload uses them.
std::string Description() {
  return "Writes FILE.hex into the device on PORT through its bootloader: 115200 baud, 8N1, no "
         "flow\ncontrol; blocks " +
         std::to_string(comflash::kFirstBlock) + " to " + std::to_string(comflash::kLastBlock) +
         " (image addresses " + SentRangeAddresses() + "), " + TriesPerBlockWord() +
         " tries each. The log\nlines go to standard output; progress, hints and the summary "
         "line to standard error.";
}

std::string Footer() {
  return "PORT is COMn (mapped in the port map folder, $COMFLASH_PORTS, else /dev/ttyS<n-1>) or a\n"
         "device path. Several ports (-p COM3 -p COM4, or -p COM3,COM4) are written at once, each\n"
         "line prefixed by its port's name.\n"
         "\n"
         "exit status:\n"
         "  0    all blocks written (on every port)\n"
         "  1    the device did not acknowledge the handshake\n"
         "  2    a block failed " +
         TriesPerBlockWord() +
         " times\n"
         "  3    the port cannot be opened, or failed during the upload\n"
         "  4    the file cannot be read, is malformed, is cut short (no end-of-file record),\n"
         "       joined (data after it) or mixed (one address given two values), is no Intel\n"
         "       HEX file, or has no data in " +
         SentRangeAddresses() +
         "; or the --log file cannot be opened\n"
         "  5    all blocks written, but standard output or the --log file could not be\n"
         "       written (a full disk); said on standard error\n"
         "  64   usage error\n"
         "  129, 130, 143\n"
         "       interrupted by SIGHUP, SIGINT or SIGTERM; 141: standard output was closed.\n"
         "       The upload stops before its next block, the port is closed, and the message\n"
         "       says which block it reached.\n"
         "  128+n  several ports: a port's upload was ended by signal n (137: SIGKILL)\n"
         "Several ports: 0 when every port succeeded, else the highest status of them.\n"
         "--loop: 0 when every board that was started was written, else the highest status\n"
         "of them; it ends at Ctrl-C, SIGTERM or SIGHUP with a session summary.";
}

// "COM0", "COM 3", "COM-1", "com3a": meant as a COM name but none, and
// without a path separator it would be tried as a file in the current folder.
bool LooksLikeABadComName(const std::string& p) {
  if (p.find_first_of("/\\") != std::string::npos || p.size() < 3) return false;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(p[i])) != "COM"[i]) return false;
  const std::string rest = p.substr(3);
  if (rest.empty()) return true;
  // A file name such as "commands" is left alone.
  if (std::string(" \t-+_:#0123456789").find(rest[0]) == std::string::npos) return false;
  return rest[0] == '0' || rest.find_first_not_of("0123456789") != std::string::npos;
}

void UsageError(const std::string& text) {
  std::cerr << "comflash-cli: " << text << "\nTry 'comflash-cli --help'.\n";
}

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options& opt) {
  CLI::App app(Description(), "comflash-cli");
  // A file path may begin with '/' (a Linux path, or Wine's view of one):
  // never take it for a Windows-style option.
  app.allow_windows_style_options(false);
  app.footer(Footer());
  app.set_version_flag("--version", std::string("comflash-cli ") + COMFLASH_VERSION,
                       "the program's version");
  app.add_option("-p,--port", opt.ports, "the device's port; repeat or separate by commas")
      ->delimiter(',')
      ->type_name("PORT")
      ->allow_extra_args(false);
  app.add_flag("-v,--verbose", opt.verbose, "also print the loader's line for every data record");
  app.add_flag("-q,--quiet", opt.quiet, "no progress on standard error");
  app.add_flag("--list", opt.list, "list the serial ports present and the port map, then end");
  app.add_flag("--json", opt.json,
               "one JSON object per port on standard output at the end, instead of the log lines");
  app.add_flag("--loop", opt.loop,
               "a production line: write board after board on each port until interrupted; "
               "each board is greeted until it answers, written, then awaited off the fixture");
  app.add_option("--log", opt.log, "append every log line and outcome, timestamped, to FILE")
      ->type_name("FILE");
  app.add_option("--label", opt.label)->group("");  // set by a multi-port run for its uploads
  app.add_option("--json-file", opt.jsonFile)->group("");
  app.add_option("file", opt.file, "the Intel HEX file")->type_name("FILE.hex");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);  // --help, --version
      return kExitOk;
    }
    UsageError(e.what());
    return kExitUsage;
  }
  if (opt.list) return std::nullopt;
  if (opt.file.empty()) {
    UsageError("no HEX file given");
    return kExitUsage;
  }
  if (opt.ports.empty()) opt.ports.push_back("COM3");
  std::map<std::string, std::string> seen;  // identity -> the name given first
  for (const auto& p : opt.ports) {
    if (p.empty()) {
      UsageError("empty port name");
      return kExitUsage;
    }
    if (LooksLikeABadComName(p)) {
      UsageError("'" + p +
                 "' is no port name: use COMn (n from 1, no space: COM3) or a device path");
      return kExitUsage;
    }
    const auto [at, first] = seen.emplace(PortIdentity(p), p);
    if (!first) {
      UsageError(at->second == p ? "port " + p + " given twice"
                                 : "ports " + at->second + " and " + p + " are the same port");
      return kExitUsage;
    }
  }
  if (!opt.label.empty() && opt.ports.size() != 1) {
    UsageError("--label goes with one port");
    return kExitUsage;
  }
  return std::nullopt;
}

}  // namespace cli
