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
  // One JSON object on standard output, or into the file SendJsonTo named.
  void Json(const std::string& object);
  // A multi-port run collects its uploads' objects from files, to print them
  // in the order of its ports whatever became of each upload.
  void SendJsonTo(std::string path) { json_file_ = std::move(path); }

  bool JsonMode() const { return json_; }
  const std::string& Label() const { return label_; }
  // A line for standard output or the log file could not be written (not
  // counting a closed pipe, which is an interruption); said once for each.
  bool WriteFailed() const { return stdout_failed_ || log_failed_; }

 private:
  // A write failing with EPIPE means the reader went away: noted as an
  // interruption. Any other failure is said on standard error.
  void ToStdout(const std::string& text);
  void ToLogFile(const std::string& text);
  void SayWriteFailure(const std::string& what, int error);

  struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  std::string label_;
  std::string prefix_;  // "COM3: " or ""
  bool json_;
  bool stdout_closed_ = false;
  bool stdout_failed_ = false;
  bool log_failed_ = false;
  std::string log_path_;
  std::string json_file_;
  std::unique_ptr<std::FILE, CloseFile> log_file_;
};

}  // namespace cli
