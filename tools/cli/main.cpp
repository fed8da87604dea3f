// comflash-cli: writes a HEX file into a device through its bootloader, from
// the command line, with the window's settings and the same upload code.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "framework/MainThreadQueue.h"
#include "tools/cli/Flash.h"
#include "tools/cli/Image.h"
#include "tools/cli/MultiPort.h"
#include "tools/cli/Options.h"
#include "tools/cli/Output.h"
#include "tools/cli/Platform.h"
#include "tools/cli/Result.h"

namespace {

using namespace cli;

int ListPorts() {
  const auto ports = SerialPorts();
  for (const auto& p : ports) std::cout << p << "\n";
  if (ports.empty()) std::cerr << "comflash-cli: no serial ports found\n";
  return kExitOk;
}

// A file that cannot go to the device: said, and in JSON mode one object per
// port as well.
int RefuseFile(const Options& opt, Output& out, const std::string& why) {
  out.Message(why);
  if (opt.json) {
    for (const auto& port : opt.ports) {
      PortResult r;
      r.port = port;
      r.outcome = Outcome::kFileError;
      r.exitStatus = kExitFile;
      r.error = why;
      out.Json(JsonObject(r));
    }
  }
  return kExitFile;
}

}  // namespace

int main(int argc, char** argv) {
  framework::SetMainThread();
  InstallInterruptHandlers();
  ShowUtf8OnConsole();
  // Every name from here on is UTF-8, whatever the system's code page.
  std::vector<std::string> args = Utf8Arguments(argc, argv);
  std::vector<char*> utf8Argv;
  for (auto& a : args) utf8Argv.push_back(a.data());
  utf8Argv.push_back(nullptr);
  Options opt;
  if (auto status = ParseOptions(static_cast<int>(args.size()), utf8Argv.data(), opt))
    return *status;
  if (opt.list) return ListPorts();

  Output out(opt.label, opt.json);
  if (!opt.log.empty()) {
    try {
      out.OpenLogFile(opt.log);
    } catch (const std::exception& e) {
      out.Message(e.what());
      return kExitFile;
    }
  }

  // The file first: a bad file never touches a port.
  LoadedImage image;
  try {
    image = LoadImage(opt.file);
  } catch (const std::exception& e) {
    return RefuseFile(opt, out, e.what());
  }
  if (SpansInsideSent(image.covered).empty())
    return RefuseFile(
        opt, out,
        opt.file + " has no data in the range the device receives, " + SentRangeText() + "; " +
            (image.covered.empty() ? std::string("the file holds no data at all")
                                   : "the file covers " + DescribeSpans(image.covered)));
  const auto outside = SpansOutsideSent(image.covered);
  // A multi-port run has said it once for all its ports.
  if (!outside.empty() && opt.label.empty())
    out.Message("warning: " + opt.file + " has data outside " + SentRangeText() +
                ", which is not sent: " + DescribeSpans(outside));

  if (opt.ports.size() > 1) return FlashSeveral(opt, out);

  if (opt.verbose)
    for (const auto& line : image.recordLines) out.LogLine(line);
  const ProgressStyle style = opt.quiet                                 ? ProgressStyle::kNone
                              : opt.label.empty() && StderrIsTerminal() ? ProgressStyle::kBar
                                                                        : ProgressStyle::kLines;
  const PortResult result = FlashPort(opt.ports.front(), image, out, style);
  out.Message(SummaryLine(result));
  if (opt.json) out.Json(JsonObject(result));
  return result.exitStatus;
}
