// comflash-cli: writes a HEX file into a device through its bootloader, from
// the command line, with the window's settings and the same upload code.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/core/FirmwareImage.h"
#include "app/core/HexLoader.h"
#include "app/core/UploadSession.h"
#include "framework/Application.h"
#include "framework/MainThreadQueue.h"
#include "serial/VaComm.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitHandshake = 1;
constexpr int kExitBlock = 2;
constexpr int kExitPort = 3;
constexpr int kExitFile = 4;
constexpr int kExitUsage = 64;

constexpr char kUsage[] =
    "usage: comflash-cli [-p PORT] [options] FILE.hex\n"
    "\n"
    "Writes FILE.hex into the device on PORT through its bootloader: 115200 baud, 8N1,\n"
    "no flow control; blocks 3 to 125 (image addresses 0x0C00 to 0x1F7FF), six tries each.\n"
    "\n"
    "options:\n"
    "  -p, --port PORT   COMn (mapped in the port map folder, else /dev/ttyS<n-1>) or a\n"
    "                    device path; default COM3\n"
    "  -v, --verbose     also print the loader's line for every data record\n"
    "  -q, --quiet       no progress on standard error\n"
    "  -h, --help        this text\n"
    "      --version     the program's version\n"
    "\n"
    "exit status:\n"
    "  0  all blocks written\n"
    "  1  the device did not acknowledge the handshake\n"
    "  2  a block failed six times\n"
    "  3  the port cannot be opened, or failed during the upload\n"
    "  4  the file cannot be read or is malformed\n"
    "  64 usage error\n";

struct Options {
  std::string port = "COM3";
  std::string file;
  bool verbose = false;
  bool quiet = false;
};

// Nothing on success; an exit status otherwise (0 for --help and --version).
std::optional<int> ParseArguments(int argc, char** argv, Options& opt) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (a == "--version") {
      std::cout << "comflash-cli " << COMFLASH_VERSION << "\n";
      return kExitOk;
    }
    if (a == "-v" || a == "--verbose") {
      opt.verbose = true;
    } else if (a == "-q" || a == "--quiet") {
      opt.quiet = true;
    } else if (a == "-p" || a == "--port") {
      if (i + 1 >= args.size()) {
        std::cerr << "comflash-cli: " << a << " needs a port name\n" << kUsage;
        return kExitUsage;
      }
      opt.port = args[++i];
    } else if (a.rfind("--port=", 0) == 0) {
      opt.port = a.substr(7);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::cerr << "comflash-cli: unknown option " << a << "\n" << kUsage;
      return kExitUsage;
    } else if (opt.file.empty()) {
      opt.file = a;
    } else {
      std::cerr << "comflash-cli: more than one file given\n" << kUsage;
      return kExitUsage;
    }
  }
  if (opt.file.empty()) {
    std::cerr << "comflash-cli: no HEX file given\n" << kUsage;
    return kExitUsage;
  }
  if (opt.port.empty()) {
    std::cerr << "comflash-cli: empty port name\n" << kUsage;
    return kExitUsage;
  }
  return std::nullopt;
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);  // a pipe or a log file shows the run live
}

// The log on standard output; progress on standard error: a bar on a
// terminal, plain lines otherwise.
class Progress : public comflash::UploadObserver {
 public:
  Progress(bool enabled, bool terminal) : enabled_(enabled), terminal_(terminal) {}

  void RunStarted() override { start_ = std::chrono::steady_clock::now(); }
  void RunEnded() override {
    if (bar_open_) std::fputc('\n', stderr);
    bar_open_ = false;
  }
  void LogLine(const std::string& line) override { PrintLine(line); }

  void BlockAttempted(const comflash::BlockAttempt& a) override {
    if (!a.accepted) ++retries_;
    if (a.accepted) ++done_;
    if (!enabled_) return;
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = secs > 0 ? done_ * 1024.0 / secs : 0;
    const double eta = done_ > 0 ? secs / done_ * (kBlocks - done_) : 0;
    if (terminal_) {
      const int width = 30;
      const int filled = done_ * width / kBlocks;
      std::fprintf(stderr, "\r[%.*s%.*s] %3d/%d blocks, %d retries, %6.1f KiB/s, ETA %3.0f s ",
                   filled, "##############################", width - filled,
                   "..............................", done_, kBlocks, retries_, rate / 1024, eta);
      bar_open_ = done_ != kBlocks;
      if (!bar_open_) std::fputc('\n', stderr);
    } else if (a.accepted && (done_ % 10 == 0 || done_ == kBlocks)) {
      std::fprintf(stderr, "progress: %d/%d blocks, %d retries, %.1f KiB/s\n", done_, kBlocks,
                   retries_, rate / 1024);
    } else if (!a.accepted) {
      std::fprintf(stderr, "progress: block %u refused (try %d of 6)\n", a.block, a.attempt);
    }
    std::fflush(stderr);
  }

 private:
  static constexpr int kBlocks = comflash::kLastBlock - comflash::kFirstBlock + 1;
  bool enabled_;
  bool terminal_;
  int done_ = 0;
  int retries_ = 0;
  bool bar_open_ = false;  // the bar's line awaits its end
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv) {
  framework::SetMainThread();
  Options opt;
  if (auto status = ParseArguments(argc, argv, opt)) return *status;

  // The file first: a bad file never touches the port.
  try {
    const auto lines = comflash::LoadHexFile(opt.file, comflash::FirmwareImage);
    if (opt.verbose)
      for (const auto& l : lines) PrintLine(l);
  } catch (const std::exception& e) {
    std::cerr << "comflash-cli: " << e.what() << "\n";
    return kExitFile;
  }

  Progress progress(!opt.quiet, isatty(STDERR_FILENO) != 0);
  comflash::UploadSession session(progress, [] { framework::App().ProcessMessages(); });
  try {
    session.OpenPort(opt.port);
  } catch (const std::exception& e) {
    std::cerr << "comflash-cli: cannot open port " << opt.port << ": " << e.what() << "\n";
    const auto* portError = dynamic_cast<const serial::EVaCommError*>(&e);
    if (portError && portError->Kind() == serial::TErrorKind::ekNoPermission)
      std::cerr << "comflash-cli: you may not use this device; join its group (usually "
                   "'dialout': sudo usermod -aG dialout $USER, then log in again)\n";
    return kExitPort;
  }

  try {
    session.ResetAndPurge();
    const auto outcome = session.Run(comflash::FirmwareImage);
    session.Port().Close();
    switch (outcome) {
      case comflash::UploadOutcome::Completed:
        return kExitOk;
      case comflash::UploadOutcome::HandshakeRefused:
        return kExitHandshake;
      case comflash::UploadOutcome::BlockFailed:
        return kExitBlock;
    }
  } catch (const std::exception& e) {
    std::cerr << "comflash-cli: port " << opt.port << " failed during the upload: " << e.what()
              << "\n";
    try {
      session.Port().Close();
    } catch (const std::exception& closeError) {
      std::cerr << "comflash-cli: closing the port: " << closeError.what() << "\n";
    }
    return kExitPort;
  }
  return kExitPort;
}
