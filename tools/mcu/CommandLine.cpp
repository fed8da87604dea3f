#include "tools/mcu/CommandLine.h"

#include "serial/device/posix/PortMap.h"

namespace mcu {

CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string default_firmware) {
  CommandLine cl;
  cl.firmware = std::move(default_firmware);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inline_value;
    if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = option.substr(eq + 1);
      option.resize(eq);
    }
    const auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) throw UsageError(option + " needs a value");
      return args[++i];
    };
    if (option == "--help" || option == "-h") {
      if (inline_value) throw UsageError(option + " takes no value");
      cl.help = true;
    } else if (option == "--firmware") {
      cl.firmware = value();
      if (cl.firmware.empty()) throw UsageError("--firmware needs a file name");
    } else if (option == "--as") {
      cl.as = value();
      if (!serial::ComPortNumber(*cl.as))
        throw UsageError("--as takes a name like COM3, not '" + *cl.as + "'");
    } else if (option == "--dump") {
      cl.dump = value();
      if (cl.dump->empty()) throw UsageError("--dump needs a file name");
    } else {
      throw UsageError("unknown argument '" + args[i] + "'");
    }
  }
  return cl;
}

}  // namespace mcu
