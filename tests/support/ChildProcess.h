// Programs run by tests: started with arguments, their output captured, and
// always ended and reaped, even when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after the timeout) and captures its output.
RunResult RunProgram(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A program that runs beside the test, e.g. the simulated device. Always
// ended and reaped, whatever the test did.
class BackgroundProgram {
 public:
  // With withStdin its standard input is a pipe the test holds (see
  // CloseStdin); otherwise /dev/null.
  explicit BackgroundProgram(const std::vector<std::string>& argv, bool withStdin = false);
  ~BackgroundProgram();  // SIGTERM, then SIGKILL after a grace period; reaped
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // The next line of its standard output (without the newline), or nothing
  // at end of output or time-out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Reads lines until `line` comes; false if it does not within the time.
  bool WaitForLine(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(2));
  // Every output line until it ends or the time-out passes.
  std::vector<std::string> Lines(std::chrono::milliseconds timeout);
  // Every line read so far, for failure messages: "[line] [line] ".
  std::string Seen() const;

  void CloseStdin();
  void Signal(int sig);
  // Its exit status once it has ended within the time.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGTERM, then its exit status if it ends within 2 s.
  std::optional<int> Terminate();
  // Ends it with SIGTERM (SIGKILL after a grace period) and waits; returns its exit status.
  int Stop();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::vector<std::string> seen_;
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace testsupport
