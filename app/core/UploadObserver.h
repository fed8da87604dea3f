// What an upload tells the program that runs it: one observer, so the window
// and the command-line flasher hear the same run.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace comflash {

// Told after every block write, for progress displays.
struct BlockAttempt {
  unsigned block;
  int attempt;  // 1 to 6
  bool accepted;
  std::array<std::uint8_t, 3> reply{};  // the answer's bytes, as far as they came
  int replyBytes = 0;                   // how many came within the wait (0 to 3)
};

class UploadObserver {
 public:
  virtual ~UploadObserver() = default;
  // Stale input has been drained; the handshake comes next.
  virtual void RunStarted() {}
  // The run is over, every way out (an exception from the port included).
  virtual void RunEnded() {}
  // One line for the log, from the run or from the link.
  virtual void LogLine(const std::string& line) = 0;
  virtual void BlockAttempted(const BlockAttempt& /*attempt*/) {}
};

// The window's three controls that must not be used while a run lasts, and
// its log.
struct UploadControls {
  std::function<void(bool enabled)> SetSwitchEnabled;        // CheckBox1
  std::function<void(bool enabled)> SetFileButtonEnabled;    // Button1
  std::function<void(bool enabled)> SetUploadButtonEnabled;  // Button3
  std::function<void()> ClearLog;
  std::function<void(const std::string& line)> AppendLog;
};

// The window's observer: disables the switch, the file button and the upload
// button in this order and clears the log when the run starts; enables the
// upload button, the file button and the switch in this order when it ends.
class ControlsObserver : public UploadObserver {
 public:
  explicit ControlsObserver(UploadControls controls) : controls_(std::move(controls)) {}
  void RunStarted() override;
  void RunEnded() override;
  void LogLine(const std::string& line) override;

 private:
  UploadControls controls_;
};

}  // namespace comflash
