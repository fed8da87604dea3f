#include "tools/cli/Output.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tools/cli/Platform.h"
#ifdef _WIN32
#include "framework/win32/WideText.h"
#endif

namespace cli {

std::string Timestamp() {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{now - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return buf;
}

Output::Output(std::string label, bool json)
    : label_(std::move(label)), prefix_(label_.empty() ? "" : label_ + ": "), json_(json) {}

void Output::OpenLogFile(const std::string& path) {
#ifdef _WIN32
  // The path is UTF-8; a narrow open would take it in the ANSI code page.
  log_file_.reset(_wfopen(framework::Widen(path).c_str(), L"a"));
#else
  log_file_.reset(std::fopen(path.c_str(), "a"));
#endif
  if (!log_file_)
    throw std::runtime_error("cannot open the log file " + path + ": " + std::strerror(errno));
  log_path_ = path;
}

void Output::LogLine(const std::string& line) {
  if (!json_) ToStdout(prefix_ + line + "\n");
  ToLogFile(prefix_ + line);
}

void Output::Message(const std::string& text) {
  const std::string line = "comflash-cli: " + prefix_ + text;
  // One write per line: the lines of several ports on one stream stay whole.
  const std::string withEnd = line + "\n";
  std::fwrite(withEnd.data(), 1, withEnd.size(), stderr);
  std::fflush(stderr);
  ToLogFile(line);
}

void Output::Progress(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void Output::Json(const std::string& object) {
  if (json_file_.empty()) return ToStdout(object + "\n");
  std::FILE* f = std::fopen(json_file_.c_str(), "w");
  const bool written = f != nullptr && std::fputs(object.c_str(), f) >= 0;
  const int error = errno;
  const bool closed = f != nullptr && std::fclose(f) == 0;
  if (written && closed) return;
  stdout_failed_ = true;
  SayWriteFailure(json_file_, written ? errno : error);
}

void Output::ToStdout(const std::string& text) {
  if (stdout_closed_) return;
  // Flushed at once, so a pipe or a file shows the run live.
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return;
  const int error = errno;
  stdout_closed_ = true;
  // A reader that went away stops the run; a full disk is no reason to
  // leave a board half written.
  if (error == EPIPE) return NoteClosedOutput();
  stdout_failed_ = true;
  SayWriteFailure("standard output", error);
}

void Output::ToLogFile(const std::string& text) {
  if (!log_file_ || log_failed_) return;
  const std::string line = Timestamp() + " " + text + "\n";
  // One write per line with the file opened for appending: the ports of a
  // multi-port run share the file line by line.
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), log_file_.get()) == line.size() &&
      std::fflush(log_file_.get()) == 0)
    return;
  log_failed_ = true;
  SayWriteFailure("the log file " + log_path_, errno);
}

void Output::SayWriteFailure(const std::string& what, int error) {
  // Straight to standard error: the failing stream is not to be tried again.
  const std::string line = "comflash-cli: " + prefix_ + "cannot write " + what + ": " +
                           (error != 0 ? std::strerror(error) : "write failed") +
                           "; what follows is missing from it\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace cli
