// Where comflash-cli's words go: the log lines on standard output (unless
// JSON was asked for), messages on standard error, and both, each with a
// timestamp, appended to the --log file.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace cli {

// "2026-12-09T14:03:07.123Z": ISO 8601, UTC, milliseconds.
std::string Timestamp();

class Output {
 public:
  // label: the port name that begins every line of a multi-port run, or "".
  Output(std::string label, bool json);

  // Opens the --log file for appending. Throws std::runtime_error.
  void OpenLogFile(const std::string& path);

  // One log line: standard output (not in JSON mode) and the log file.
  void LogLine(const std::string& line);
  // "comflash-cli: [label: ]text" on standard error and in the log file.
  void Message(const std::string& text);
  // Standard error only: progress display.
  void Progress(const std::string& text);
  // One JSON object on standard output.
  void Json(const std::string& object);

  bool JsonMode() const { return json_; }
  const std::string& Label() const { return label_; }

 private:
  // A failed write means the reader went away: noted as an interruption.
  void ToStdout(const std::string& text);
  void ToLogFile(const std::string& text);

  struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::string label_;
  std::string prefix_;  // "COM3: " or ""
  bool json_;
  bool stdout_closed_ = false;
  std::unique_ptr<std::FILE, CloseFile> log_file_;
};

}  // namespace cli
