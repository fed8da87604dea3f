// comflash-sim: the bootloader engine served on a pseudo-terminal.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "serial/device/posix/PortMap.h"
#include "tools/common/FileOutput.h"
#include "tools/common/PtyPair.h"
#include "tools/common/SignalWatch.h"
#include "tools/common/SystemError.h"
#include "tools/common/ToolMain.h"
#include "tools/sim/BootloaderSim.h"
#include "tools/sim/CommandLine.h"

namespace {

using namespace std::chrono_literals;
using tools::SystemError;

// Whether bytes wait for the host on the line's slave side. Asked through poll
// rather than FIONREAD: written bytes pass through a kernel buffer before the
// slave counts them, and poll waits for that hand-over when it finds nothing.
bool HostHasUnread(const tools::PtyPair& line) {
  pollfd p{line.Slave(), POLLIN, 0};
  const int r = ::poll(&p, 1, 0);
  if (r < 0) throw SystemError("poll slave");
  return r > 0 && (p.revents & POLLIN);
}

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
        if (errno != EPIPE) throw SystemError("writing events");
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

// How long the line waits for the host to read the last acknowledgement before
// it drops: a hang-up discards what the host has not read yet.
constexpr auto kDropDrainLimit = 500ms;
constexpr auto kDropDrainPoll = 2ms;

int Serve(const sim::CommandLine& cl) {
  ::signal(SIGPIPE, SIG_IGN);
  // The signals are unblocked again when the device is done. SIGHUP keeps
  // its default (the end of the program) unless the adapter can be unplugged.
  const auto at_end = tools::SignalWatch::AtEnd::kRestoreMask;
  std::optional<tools::SignalWatch> signal_watch;
  if (cl.unplug_with_board) {
    signal_watch.emplace(std::initializer_list<int>{SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP},
                         at_end);
  } else {
    signal_watch.emplace(std::initializer_list<int>{SIGTERM, SIGINT, SIGUSR1, SIGUSR2}, at_end);
  }
  tools::SignalWatch& signals = *signal_watch;

  EventOut out;
  // The line, as the adapter that carries it: none while it is unplugged.
  // Our own descriptor of the slave keeps the line up while the host closes
  // and reopens its port.
  std::unique_ptr<tools::PtyPair> line;
  std::unique_ptr<serial::ScopedComMapping> mapping;
  const auto plug = [&] {
    line = std::make_unique<tools::PtyPair>(tools::PtyOptions{.nonblocking_master = true});
    if (cl.as)
      mapping =
          std::make_unique<serial::ScopedComMapping>(*cl.as, line->SlavePath(), "comflash-sim");
  };
  plug();
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
    // Without a line the bytes go nowhere, as from a board whose adapter is out.
    const std::size_t done =
        line ? tools::WriteWhatFits(line->Master(), to_host, "to the line") : to_host.size();
    to_host.erase(to_host.begin(), to_host.begin() + static_cast<std::ptrdiff_t>(done));
    if (drop_pending) drop_mark -= std::min(drop_mark, done);
  };

  // Noise at start is queued before the path is printed, so whoever reads
  // the path finds it waiting on the line.
  if (cl.noise > 0) {
    to_host = noise_source.Next(cl.noise);
    flush_to_host();
  }
  out.Line(line->SlavePath());
  if (cl.noise > 0) out.Line("NOISE " + std::to_string(cl.noise));

  sim::BootloaderSim engine(cl.sim);
  // Board n's memory: the dump file itself for the first, FILE.n after it.
  const auto dump_path = [&] {
    return engine.Board() == 1 ? *cl.dump : *cl.dump + "." + std::to_string(engine.Board());
  };
  // The fixture's next change: the board on it goes at take_off, and the
  // next one comes at put_on.
  std::optional<sim::TimePoint> take_off;
  std::optional<sim::TimePoint> put_on;
  // An adapter unplugged on its own (SIGHUP) comes back at this time.
  std::optional<sim::TimePoint> replug;
  if (cl.swap_every) take_off = sim::Clock::now() + *cl.swap_every;
  // The name goes before the line hangs up, so a host that sees the hang-up
  // and opens the name again finds it gone, as with an adapter pulled out.
  const auto unplug = [&] {
    if (!line) return;
    mapping.reset();
    line.reset();
    out.Line("UNPLUGGED");
  };
  const auto plug_again = [&] {
    if (line) return;
    plug();
    out.Line("PLUGGED " + line->SlavePath());
  };
  const auto swap = [&](sim::TimePoint now) {
    if (!engine.OnFixture()) return;
    engine.TakeOff();
    if (cl.dump) tools::WriteFileAtomically(dump_path(), engine.Memory());
    take_off.reset();
    put_on = now + cl.off_time;
    if (cl.unplug_with_board) {
      for (const auto& event : engine.TakeEvents()) out.Line(event);
      unplug();
      replug.reset();  // the adapter comes back with the next board
    }
  };
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
    for (const auto& change : {take_off, put_on, replug})
      if (change) deadline = deadline ? std::min(*deadline, *change) : *change;
    if (draining_since) deadline = now_before + kDropDrainPoll;
    if (deadline) {
      const auto left = std::max(sim::Clock::duration::zero(), *deadline - now_before);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout_ptr = &timeout;
    }
    pollfd fds[3] = {
        {line ? line->Master() : -1, static_cast<short>(POLLIN | (to_host.empty() ? 0 : POLLOUT)),
         0},
        {signals.Fd(), POLLIN, 0},
        {stdin_open ? STDIN_FILENO : -1, POLLIN, 0},
    };
    if (::ppoll(fds, 3, timeout_ptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      throw SystemError("poll");
    }
    const auto now = sim::Clock::now();

    if (fds[0].revents & POLLIN) {
      std::uint8_t buf[4096];
      for (;;) {
        const ssize_t r = ::read(line->Master(), buf, sizeof buf);
        if (r > 0) {
          engine.Receive(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(r)), now);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) break;
        throw SystemError("reading the line");
      }
    }
    if (take_off && now >= *take_off) swap(now);
    if (replug && now >= *replug) {
      plug_again();
      replug.reset();
    }
    if (put_on && now >= *put_on) {
      if (cl.unplug_with_board) plug_again();
      engine.PutOn();
      put_on.reset();
      if (cl.swap_every) take_off = now + *cl.swap_every;
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
    if (cl.dump && engine.TakeMemoryChanged())
      tools::WriteFileAtomically(dump_path(), engine.Memory());
    for (const auto& event : engine.TakeEvents()) out.Line(event);

    if (!to_host.empty()) flush_to_host();
    if (drop_pending && drop_mark == 0 && !draining_since) draining_since = now;
    if (draining_since && (!line || !HostHasUnread(*line) ||
                           sim::Clock::now() - *draining_since >= kDropDrainLimit)) {
      if (line) line->HangUp();
      out.Line("DROP");
      break;
    }

    if (fds[1].revents & POLLIN) {
      for (const int sig : signals.Take()) {
        if (sig == SIGUSR1 && cl.noise > 0) {
          noise();
          flush_to_host();
        } else if (sig == SIGUSR2) {
          swap(sim::Clock::now());
          for (const auto& event : engine.TakeEvents()) out.Line(event);
        } else if (sig == SIGHUP) {
          if (line) {
            unplug();
            replug = sim::Clock::now() + cl.off_time;
          }
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
  if (cl.dump) tools::WriteFileAtomically(dump_path(), engine.Memory());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return tools::ToolMain<sim::UsageError>("comflash-sim", argc, argv, sim::ParseCommandLine,
                                          sim::HelpText, Serve);
}
