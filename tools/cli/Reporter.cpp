#include "tools/cli/Reporter.h"

#include <cstdio>

#include "tools/cli/Platform.h"

namespace cli {

Reporter::Reporter(Output& out, ProgressStyle style, std::string port)
    : out_(out), style_(style), port_(std::move(port)) {}

void Reporter::RunStarted() {
  start_ = std::chrono::steady_clock::now();
}

void Reporter::RunEnded() {
  if (bar_open_) out_.Progress("\n");
  bar_open_ = false;
}

void Reporter::LogLine(const std::string& line) {
  out_.LogLine(line);
  // The handshake's number line when not one byte came back.
  // Not after an interruption, which may itself have cut the wait short.
  if (line == "0 0 0" && current_ == 0 && InterruptStatus() == 0)
    out_.Message("nothing was received from the device within 2.5 s. Likely causes: " + port_ +
                 " is not the device's port (comflash-cli --list shows the ports present); the "
                 "device is not in its bootloader (reset or power it up into the bootloader, "
                 "then run again); the cable or adapter is not connected");
}

void Reporter::BlockAttempted(const comflash::BlockAttempt& a) {
  if (a.accepted) {
    ++written_;
    current_ = a.block + 1;
  } else {
    current_ = a.block;
  }
  // The first try of a block is no retry, whatever became of it.
  if (a.attempt > 1) ++retries_;
  ShowProgress(a);
}

void Reporter::ShowProgress(const comflash::BlockAttempt& a) {
  if (style_ == ProgressStyle::kNone) return;
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = secs > 0 ? written_ * 1024.0 / secs : 0;
  const double eta = written_ > 0 ? secs / written_ * (kBlockCount - written_) : 0;
  char buf[160];
  if (style_ == ProgressStyle::kBar) {
    const int width = 30;
    const int filled = written_ * width / kBlockCount;
    std::snprintf(
        buf, sizeof buf, "\r[%.*s%.*s] %3d/%d blocks, %d retries, %6.1f KiB/s, ETA %3.0f s ",
        filled, "##############################", width - filled, "..............................",
        written_, kBlockCount, retries_, rate / 1024, eta);
    out_.Progress(buf);
    bar_open_ = written_ != kBlockCount;
    if (!bar_open_) out_.Progress("\n");
    return;
  }
  const std::string prefix = out_.Label().empty() ? "" : out_.Label() + ": ";
  if (a.accepted && (written_ % 10 == 0 || written_ == kBlockCount)) {
    std::snprintf(buf, sizeof buf, "progress: %s%d/%d blocks, %d retries, %.1f KiB/s\n",
                  prefix.c_str(), written_, kBlockCount, retries_, rate / 1024);
    out_.Progress(buf);
  } else if (!a.accepted) {
    std::snprintf(buf, sizeof buf, "progress: %sblock %u refused (try %d of 6)\n", prefix.c_str(),
                  a.block, a.attempt);
    out_.Progress(buf);
  }
}

}  // namespace cli
