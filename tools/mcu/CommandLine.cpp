#include "tools/mcu/CommandLine.h"

#include <charconv>
#include <memory>

#include "serial/device/posix/PortMap.h"
#include "tools/common/ToolParser.h"

namespace mcu {

namespace {

long ParseMs(const std::string& text, long min, const std::string& option) {
  constexpr long kMax = 86400000;
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > kMax) {
    throw UsageError(option + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(kMax) + ", not '" + text + "'");
  }
  return value;
}

struct RawOptions {
  std::string firmware, as, dump, swap_every, off_ms;
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
                  "by a signal; board n from 2 on writes FILE.n, each board when taken off")
      ->type_name("FILE");
  app->add_option("--swap-every", raw.swap_every,
                  "take each board off after MS ms on the fixture and put a new one on, its "
                  "application flash erased (SIGUSR2 does the same at once)")
      ->type_name("MS");
  app->add_option("--off-ms", raw.off_ms,
                  "how long the fixture stays empty between two boards (default 500)")
      ->type_name("MS");
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
  if (given("--swap-every"))
    cl.swap_every = std::chrono::milliseconds(ParseMs(raw.swap_every, 1, "--swap-every"));
  if (given("--off-ms"))
    cl.off_time = std::chrono::milliseconds(ParseMs(raw.off_ms, 0, "--off-ms"));
  return cl;
}

}  // namespace mcu
