// Programs run by tests: started with arguments, their output captured, and
// always ended and reaped, even when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
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

// A program that runs beside the test, e.g. the simulated device.
class BackgroundProgram {
 public:
  explicit BackgroundProgram(const std::vector<std::string>& argv);
  ~BackgroundProgram();  // SIGTERM, then SIGKILL after a grace period; reaped
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // The next line of its standard output (without the newline), or "" at end or time-out.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Every output line until it ends or the time-out passes.
  std::vector<std::string> Lines(std::chrono::milliseconds timeout);
  void Signal(int sig);
  // Ends it with SIGTERM and waits; returns its exit status.
  int Stop();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace testsupport
