#include "tools/mcu/CommandLine.h"

#include <memory>

#include "serial/device/posix/PortMap.h"
#include "tools/common/ToolParser.h"

namespace mcu {

namespace {

struct RawOptions {
  std::string firmware, as, dump;
};

// The parser over raw and cl; its help text is the program's --help.
std::unique_ptr<CLI::App> MakeParser(RawOptions& raw, CommandLine& cl,
                                     const std::string& default_firmware) {
  auto app = tools::MakeToolParser(kDescription, "comflash-mcu", kFooter, cl.help);
  app->add_option("--firmware", raw.firmware,
                  "the program to run: ELF, or Intel HEX for a name ending in .hex (default: " +
                      default_firmware + ", the bootloader built with this tool)")
      ->type_name("FILE");
  app->add_option("--as", raw.as,
                  "also map the slave as COMn in the port map folder ($COMFLASH_PORTS chooses "
                  "it); the link goes at exit")
      ->type_name("COMn");
  app->add_option("--dump", raw.dump,
                  "write the 128 KiB flash to FILE at exit (temp file + rename), also when ended "
                  "by a signal")
      ->type_name("FILE");
  return app;
}

}  // namespace

std::string HelpText(const std::string& default_firmware) {
  RawOptions raw;
  CommandLine cl;
  return MakeParser(raw, cl, default_firmware)->help();
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string default_firmware) {
  CommandLine cl;
  RawOptions raw;
  auto app = MakeParser(raw, cl, default_firmware);
  tools::ParseToolArguments<UsageError>(*app, args);
  const auto given = [&](const char* name) { return app->count(name) > 0; };
  cl.firmware = std::move(default_firmware);
  if (given("--firmware")) {
    if (raw.firmware.empty()) throw UsageError("--firmware needs a file name");
    cl.firmware = raw.firmware;
  }
  if (given("--as")) {
    if (!serial::ComPortNumber(raw.as))
      throw UsageError("--as takes a name like COM3, not '" + raw.as + "'");
    cl.as = raw.as;
  }
  if (given("--dump")) {
    if (raw.dump.empty()) throw UsageError("--dump needs a file name");
    cl.dump = raw.dump;
  }
  return cl;
}

}  // namespace mcu
