#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "framework/Clock.h"
#include "tools/common/SystemError.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& argv, int out, int err, int in = -1) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw tools::SystemError("fork");
  if (pid == 0) {
    const int input = in >= 0 ? in : open("/dev/null", O_RDONLY);
    dup2(input, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Reads what is there from fd into s; false at end of file.
bool Pump(int fd, std::string& s) {
  char buf[4096];
  const ssize_t r = read(fd, buf, sizeof buf);
  if (r > 0) {
    s.append(buf, static_cast<std::size_t>(r));
    return true;
  }
  return r < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  const pid_t pid = Spawn(argv, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  RunResult result;
  const auto deadline = Clock::now() + timeout;
  bool outOpen = true, errOpen = true, killed = false;
  while (outOpen || errOpen) {
    pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    poll(p, 2, killed ? 1000 : static_cast<int>(left.count()));
    if (p[0].revents) outOpen = Pump(out[0], result.out);
    if (p[1].revents) errOpen = Pump(err[0], result.err);
  }
  close(out[0]);
  close(err[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);
  result.status = DecodeStatus(raw);
  return result;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv, bool withStdin) {
  int out[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (withStdin && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const int err = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = Spawn(argv, out[1], err, in[0]);
  close(out[1]);
  close(err);
  if (in[0] >= 0) close(in[0]);
  in_ = in[1];
  out_ = out[0];
}

BackgroundProgram::~BackgroundProgram() {
  Stop();
  CloseStdin();
  if (out_ >= 0) close(out_);
}

std::optional<std::string> BackgroundProgram::ReadLine(std::chrono::milliseconds timeout) {
  const framework::Deadline deadline(timeout);
  for (;;) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      seen_.push_back(line);
      return line;
    }
    const std::int64_t left = deadline.RemainingMs();
    if (left <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (!Pump(out_, buffered_)) {
      close(out_);
      out_ = -1;
    }
  }
}

bool BackgroundProgram::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  const framework::Deadline deadline(timeout);
  while (const auto got = ReadLine(std::chrono::milliseconds(deadline.RemainingMs()))) {
    if (*got == line) return true;
  }
  return false;
}

std::vector<std::string> BackgroundProgram::Lines(std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const auto line = ReadLine(left);
    if (!line) {
      if (out_ < 0 && buffered_.empty()) break;
      continue;
    }
    if (!line->empty()) lines.push_back(*line);
  }
  return lines;
}

std::string BackgroundProgram::Seen() const {
  std::string all;
  for (const auto& l : seen_) all += "[" + l + "] ";
  return all;
}

void BackgroundProgram::CloseStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void BackgroundProgram::Signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

std::optional<int> BackgroundProgram::Wait(std::chrono::milliseconds timeout) {
  if (reaped_) return status_;
  const framework::Deadline deadline(timeout);
  for (;;) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = DecodeStatus(raw);
      return status_;
    }
    if (deadline.Passed()) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<int> BackgroundProgram::Terminate() {
  Signal(SIGTERM);
  return Wait(std::chrono::seconds(2));
}

int BackgroundProgram::Stop() {
  if (reaped_) return status_;
  kill(pid_, SIGTERM);
  if (const auto status = Wait(std::chrono::seconds(2))) return *status;
  kill(pid_, SIGKILL);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  reaped_ = true;
  status_ = DecodeStatus(raw);
  return status_;
}

}  // namespace testsupport
