// comflash-sim: the bootloader engine served on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "framework/posix/UniqueFd.h"
#include "serial/device/posix/PortMap.h"
#include "tools/sim/BootloaderSim.h"
#include "tools/sim/CommandLine.h"

namespace {

using framework::UniqueFd;

using namespace std::chrono_literals;

std::runtime_error SysError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd, const char* what) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) throw SysError(std::string("tcgetattr ") + what);
  cfmakeraw(&t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) throw SysError(std::string("tcsetattr ") + what);
}

// The pseudo-terminal pair. Our own descriptor of the slave keeps the line up
// while the host closes and reopens its port.
class PtyLine {
 public:
  PtyLine() {
    master_ = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (master_.Get() < 0) throw SysError("posix_openpt");
    if (grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0)
      throw SysError("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(master_.Get(), name, sizeof name) != 0) throw SysError("ptsname_r");
    slave_path_ = name;
    slave_ = UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave_.Get() < 0) throw SysError("open " + slave_path_);
    MakeRaw(slave_.Get(), "slave");
    MakeRaw(master_.Get(), "master");
  }

  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_.Get(); }
  bool Up() const { return master_.Get() >= 0; }

  // Whether bytes wait for the host. Asked through poll rather than FIONREAD:
  // written bytes pass through a kernel buffer before the slave counts them,
  // and poll waits for that hand-over when it finds nothing.
  bool HostHasUnread() const {
    pollfd p{slave_.Get(), POLLIN, 0};
    const int r = ::poll(&p, 1, 0);
    if (r < 0) throw SysError("poll slave");
    return r > 0 && (p.revents & POLLIN);
  }

  // Closing both sides hangs the line up for the host, as an unplugged device.
  void HangUp() {
    slave_.Reset();
    master_.Reset();
  }

 private:
  UniqueFd master_;
  UniqueFd slave_;
  std::string slave_path_;
};

// Turns the ending and noise signals into a descriptor to poll; restores the
// signal mask when done.
class SignalWatch {
 public:
  SignalWatch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    if (sigprocmask(SIG_BLOCK, &set, &previous_) != 0) throw SysError("sigprocmask");
    fd_ = UniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (fd_.Get() < 0) {
      sigprocmask(SIG_SETMASK, &previous_, nullptr);
      throw SysError("signalfd");
    }
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  ~SignalWatch() {
    fd_.Reset();
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  int Fd() const { return fd_.Get(); }

  // The signals that came, in order.
  std::vector<int> Take() {
    std::vector<int> out;
    signalfd_siginfo info;
    while (::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      out.push_back(static_cast<int>(info.ssi_signo));
    return out;
  }

 private:
  UniqueFd fd_;
  sigset_t previous_;
};

// Event lines on stdout. Nobody reading them any more does not stop the
// device: it says so once on stderr and goes on without them.
class EventOut {
 public:
  void Line(const std::string& text) {
    if (closed_) return;
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t r = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        if (errno != EPIPE) throw SysError("writing events");
        closed_ = true;
        std::cerr << "comflash-sim: standard output closed; events are no longer printed\n";
        return;
      }
      done += static_cast<std::size_t>(r);
    }
  }

 private:
  bool closed_ = false;
};

void WriteAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& what) {
  while (size > 0) {
    const ssize_t r = ::write(fd, data, size);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw SysError("writing " + what);
    data += r;
    size -= static_cast<std::size_t>(r);
  }
}

// Readers of the dump never see a half-written file.
void WriteDump(const std::string& path, const std::array<std::uint8_t, sim::kMemorySize>& memory) {
  const std::string temp = path + ".tmp";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.Get() < 0) throw SysError("creating " + temp);
  WriteAll(fd.Get(), memory.data(), memory.size(), temp);
  if (::close(fd.Release()) != 0) throw SysError("writing " + temp);
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw SysError("renaming " + temp);
}

// How long the line waits for the host to read the last acknowledgement before
// it drops: a hang-up discards what the host has not read yet.
constexpr auto kDropDrainLimit = 500ms;
constexpr auto kDropDrainPoll = 2ms;

int Serve(const sim::CommandLine& cl) {
  ::signal(SIGPIPE, SIG_IGN);
  SignalWatch signals;
  PtyLine line;
  std::unique_ptr<serial::ScopedComMapping> mapping;
  if (cl.as)
    mapping = std::make_unique<serial::ScopedComMapping>(*cl.as, line.SlavePath(), "comflash-sim");

  EventOut out;
  sim::NoiseSource noise_source;
  sim::Bytes to_host;
  std::size_t drop_mark = 0;  // drop once to_host has been written up to here
  bool drop_pending = false;
  std::optional<sim::TimePoint> draining_since;

  const auto noise = [&] {
    const sim::Bytes bytes = noise_source.Next(cl.noise);
    to_host.insert(to_host.end(), bytes.begin(), bytes.end());
    out.Line("NOISE " + std::to_string(bytes.size()));
  };
  const auto flush_to_host = [&] {
    std::size_t done = 0;
    while (done < to_host.size()) {
      const ssize_t r = ::write(line.Master(), to_host.data() + done, to_host.size() - done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EAGAIN) break;
      if (r < 0) throw SysError("writing to the line");
      done += static_cast<std::size_t>(r);
    }
    to_host.erase(to_host.begin(), to_host.begin() + static_cast<std::ptrdiff_t>(done));
    if (drop_pending) drop_mark -= std::min(drop_mark, done);
  };

  // Noise at start is queued before the path is printed, so whoever reads
  // the path finds it waiting on the line.
  if (cl.noise > 0) {
    to_host = noise_source.Next(cl.noise);
    flush_to_host();
  }
  out.Line(line.SlavePath());
  if (cl.noise > 0) out.Line("NOISE " + std::to_string(cl.noise));

  sim::BootloaderSim engine(cl.sim);
  const bool stdin_open = cl.stdin_exit;
  bool running = true;
  while (running) {
    // Sleep until the line, a signal or stdin has something, or until the
    // engine's next deadline; with nothing pending the wait is unbounded.
    // ppoll's nanosecond timeout keeps paced answers on time (poll's whole
    // milliseconds would add up to one per answer).
    timespec timeout{};
    const timespec* timeout_ptr = nullptr;
    const auto now_before = sim::Clock::now();
    auto deadline = engine.NextDeadline();
    if (draining_since) deadline = now_before + kDropDrainPoll;
    if (deadline) {
      const auto left = std::max(sim::Clock::duration::zero(), *deadline - now_before);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout_ptr = &timeout;
    }
    pollfd fds[3] = {
        {line.Master(), static_cast<short>(POLLIN | (to_host.empty() ? 0 : POLLOUT)), 0},
        {signals.Fd(), POLLIN, 0},
        {stdin_open ? STDIN_FILENO : -1, POLLIN, 0},
    };
    if (::ppoll(fds, 3, timeout_ptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      throw SysError("poll");
    }
    const auto now = sim::Clock::now();

    if (fds[0].revents & POLLIN) {
      std::uint8_t buf[4096];
      for (;;) {
        const ssize_t r = ::read(line.Master(), buf, sizeof buf);
        if (r > 0) {
          engine.Receive(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(r)), now);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) break;
        throw SysError("reading the line");
      }
    }
    engine.Advance(now);
    for (auto& answer : engine.TakeDueAnswers(now)) {
      to_host.insert(to_host.end(), answer.bytes.begin(), answer.bytes.end());
      if (answer.then_drop) {
        drop_pending = true;
        drop_mark = to_host.size();
      }
    }
    // The dump is written before the event line and the acknowledgement go
    // out, so whoever sees either finds the block in the dump.
    if (cl.dump && engine.TakeMemoryChanged()) WriteDump(*cl.dump, engine.Memory());
    for (const auto& event : engine.TakeEvents()) out.Line(event);

    if (!to_host.empty()) flush_to_host();
    if (drop_pending && drop_mark == 0 && !draining_since) draining_since = now;
    if (draining_since &&
        (!line.HostHasUnread() || sim::Clock::now() - *draining_since >= kDropDrainLimit)) {
      line.HangUp();
      out.Line("DROP");
      break;
    }

    if (fds[1].revents & POLLIN) {
      for (const int sig : signals.Take()) {
        if (sig == SIGUSR1 && cl.noise > 0) {
          noise();
          flush_to_host();
        } else if (sig == SIGTERM || sig == SIGINT) {
          running = false;
        }
      }
    }
    if (stdin_open && (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      char buf[256];
      const ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
      if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) running = false;
    }
  }

  engine.Finish();
  for (const auto& event : engine.TakeEvents()) out.Line(event);
  if (cl.dump) WriteDump(*cl.dump, engine.Memory());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard descriptor would otherwise be reused for the line, and
  // event lines or the end-of-input check would land on the device.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) return 1;
  }
  sim::CommandLine cl;
  try {
    cl = sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const sim::UsageError& e) {
    std::cerr << "comflash-sim: " << e.what() << "\nTry 'comflash-sim --help'.\n";
    return 64;
  }
  if (cl.help) {
    std::cout << sim::HelpText();
    return 0;
  }
  try {
    return Serve(cl);
  } catch (const std::exception& e) {
    std::cerr << "comflash-sim: " << e.what() << "\n";
    return 1;
  }
}
