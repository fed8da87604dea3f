#include "tools/cli/Reporter.h"

#include <algorithm>
#include <cstdio>

#include "app/core/BootloaderLink.h"

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

namespace {

// What one failed try met, as a phrase.
std::string FailureOf(const comflash::BlockAttempt& a) {
  std::string bytes;
  for (int i = 0; i < a.replyBytes && i < 3; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", a.reply[i]);
    bytes += (i ? " " : "") + std::string(hex);
  }
  const std::string seconds = std::to_string(comflash::kBlockLimitMs / 1000);
  if (a.replyBytes == 0) return "without an answer within " + seconds + " s";
  if (a.replyBytes < 3) return "with an incomplete answer (" + bytes + ")";
  if (a.reply[0] == comflash::kAckStart && a.reply[2] == comflash::kAckEnd)
    return "refused (" + bytes + ")";
  return "with another answer (" + bytes + ")";
}

}  // namespace

std::string Reporter::FailedTries() const {
  // Counted by kind, in the order each kind first came.
  std::vector<std::pair<std::string, int>> kinds;
  for (const auto& f : failures_) {
    auto it = std::find_if(kinds.begin(), kinds.end(), [&](const auto& k) { return k.first == f; });
    if (it == kinds.end())
      kinds.emplace_back(f, 1);
    else
      ++it->second;
  }
  std::string text;
  for (const auto& [what, count] : kinds)
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  return text;
}

void Reporter::BlockAttempted(const comflash::BlockAttempt& a) {
  if (a.attempt == 1) failures_.clear();
  if (!a.accepted) failures_.push_back(FailureOf(a));
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
  char buf[256];
  if (style_ == ProgressStyle::kBar) {
    const int width = 30;
    const int filled = written_ * width / kBlockCount;
    std::snprintf(
        buf, sizeof buf, "\r%s[%.*s%.*s] %3d/%d blocks, %d retries, %6.1f KiB/s, ETA %3.0f s ",
        bar_label_.c_str(), filled, "##############################", width - filled,
        "..............................", written_, kBlockCount, retries_, rate / 1024, eta);
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
    std::snprintf(buf, sizeof buf, "progress: %sblock %u try %d of %d failed %s\n", prefix.c_str(),
                  a.block, a.attempt, comflash::kAttemptsPerBlock, FailureOf(a).c_str());
    out_.Progress(buf);
  }
}

}  // namespace cli
