// comflash-cli: writes a HEX file into a device through its bootloader, from
// the command line, with the window's settings and the same upload code.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "framework/MainThreadQueue.h"
#include "tools/cli/Flash.h"
#include "tools/cli/Image.h"
#include "tools/cli/Loop.h"
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

// A file that cannot go to the device (or a log that cannot be opened):
// said, and in JSON mode one object per port as well.
// The object's crc32 is null: no image is sent.
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

// A status that says the upload went through also says whether its words did.
int WithOutput(int status, const Output& out) {
  return status == kExitOk && out.WriteFailed() ? kExitOutput : status;
}

// Appending the log to the HEX file would damage the very file being sent.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  return std::filesystem::absolute(a, ec).lexically_normal() ==
         std::filesystem::absolute(b, ec).lexically_normal();
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

  if (!opt.log.empty() && SameFile(opt.log, opt.file)) {
    std::cerr << "comflash-cli: --log names the HEX file " << opt.file
              << " itself; the log would be appended to the image\nTry 'comflash-cli --help'.\n";
    return kExitUsage;
  }

  Output out(opt.label, opt.json);
  if (!opt.jsonFile.empty()) out.SendJsonTo(opt.jsonFile);
  if (!opt.log.empty()) {
    try {
      out.OpenLogFile(opt.log);
    } catch (const std::exception& e) {
      return WithOutput(RefuseFile(opt, out, e.what()), out);
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
  const auto gaps = GapsInSent(image.covered);
  if (!gaps.empty() && opt.label.empty())
    out.Message("warning: " + opt.file + " leaves " + DescribeSpans(gaps) + " of " +
                SentRangeText() + " empty; those bytes are sent as the image holds them (zero)");

  if (opt.ports.size() > 1) return WithOutput(FlashSeveral(opt, image, out), out);

  if (opt.verbose)
    for (const auto& line : image.recordLines) out.LogLine(line);
  const ProgressStyle style = opt.quiet                                 ? ProgressStyle::kNone
                              : opt.label.empty() && StderrIsTerminal() ? ProgressStyle::kBar
                                                                        : ProgressStyle::kLines;
  if (opt.loop) return WithOutput(FlashLoop(opt.ports.front(), image, out, style), out);
  const PortResult result = FlashPort(opt.ports.front(), image, out, style);
  out.Message(SummaryLine(result));
  if (opt.json) out.Json(JsonObject(result));
  return WithOutput(result.exitStatus, out);
}
