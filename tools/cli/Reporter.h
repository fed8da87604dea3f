// The upload's observer in comflash-cli: the log lines, the hint for a
// silent device, progress on standard error, and the counts the summary
// needs.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/core/UploadObserver.h"
#include "app/core/UploadRun.h"
#include "tools/cli/Output.h"

namespace cli {

inline constexpr int kBlockCount = comflash::kLastBlock - comflash::kFirstBlock + 1;

enum class ProgressStyle {
  kNone,
  kBar,    // one redrawn line, for a terminal
  kLines,  // a line every ten blocks and one per refusal
};

class Reporter : public comflash::UploadObserver {
 public:
  Reporter(Output& out, ProgressStyle style, std::string port);

  void RunStarted() override;
  void RunEnded() override;
  void LogLine(const std::string& line) override;
  void BlockAttempted(const comflash::BlockAttempt& attempt) override;

  // Shown before the bar on a terminal: "board 4 (3 written, 0 failed) ".
  void SetBarLabel(std::string label) { bar_label_ = std::move(label); }

  int BlocksWritten() const { return written_; }
  int Retries() const { return retries_; }
  // The block the run is at (the one being tried, or the next to try), or 0
  // while no block has been tried.
  unsigned CurrentBlock() const { return current_; }
  // What the failed tries of the current block met: "4 without an answer
  // within 5 s, 2 refused (55 EE AA)"; "" when none failed.
  std::string FailedTries() const;

 private:
  void ShowProgress(const comflash::BlockAttempt& attempt);

  Output& out_;
  ProgressStyle style_;
  std::string port_;
  int written_ = 0;
  int retries_ = 0;
  unsigned current_ = 0;
  bool bar_open_ = false;  // the bar's line awaits its end
  std::string bar_label_;
  std::vector<std::string> failures_;  // the current block's failed tries, in order
  std::chrono::steady_clock::time_point start_;
};

}  // namespace cli
