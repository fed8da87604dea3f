// comflash-mcu: a simulated ATmega128 running the bootloader, its USART0 on a
// pseudo-terminal at real line timing.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "serial/device/posix/PortMap.h"
#include "tools/common/FileOutput.h"
#include "tools/common/SignalWatch.h"
#include "tools/common/SystemError.h"
#include "tools/common/ToolMain.h"
#include "tools/mcu/Atmega128.h"
#include "tools/mcu/CommandLine.h"
#include "tools/mcu/PtyLine.h"
#include "tools/mcu/UartWire.h"

namespace {

using tools::SystemError;

// Simulated time between two looks at the line and the clock: short against
// a byte time (87 us at 115200 baud is about three of them), long against the
// cost of a look.
constexpr double kSlice = 200e-6;
// With nothing on the line the chip sleeps and the harness looks less often;
// a byte from the host still wakes it at once.
constexpr double kIdleSlice = 5e-3;
// Behind the wall clock by more than this (the machine was busy), the
// simulation drops the rest rather than racing to make it up.
constexpr double kMaxLag = 0.05;
// Simulated time run before the line is offered: reset, start-up and the
// loader's own set-up are over by then.
constexpr double kStartUp = 0.02;
// Rates below this mean the host has hung the line up (B0).
constexpr double kLowestBaud = 50;

class Harness {
 public:
  Harness(mcu::Atmega128& chip, mcu::PtyLine& line) : chip_(chip), line_(line) {}

  // Runs the chip up to the wall clock, serving the line between slices.
  void CatchUp() {
    double target = sim0_ + WallSeconds();
    if (target - chip_.Seconds() > kMaxLag) {
      sim0_ -= target - chip_.Seconds() - kMaxLag;
      target = chip_.Seconds() + kMaxLag;
    }
    while (chip_.Seconds() < target) {
      const double until = std::min(target, NextEvent());
      chip_.RunUntil(std::max(mcu::Atmega128::CycleAt(until), chip_.Cycle() + 1));
      Pump();
    }
  }

  // How long the wall clock has until the chip is due to run again. The
  // bytes due in between are handled by CatchUp at their own times.
  std::chrono::nanoseconds Wait() const {
    const bool idle =
        to_pty_.empty() && !to_chip_.NextDue(chip_.Baud()) && !to_host_.NextDue(host_baud_);
    const double next = chip_.Seconds() + (idle ? kIdleSlice : kSlice);
    const double left = next - sim0_ - WallSeconds();
    return std::chrono::nanoseconds(static_cast<long long>(std::max(0.0, left) * 1e9));
  }

  // Bytes the host wrote: on the line from now, at the host's rate.
  // They are stamped with the wall clock, not with a chip that may lag it:
  // when a lagging chip catches up it must not get them sooner than a line
  // would have carried them.
  void FromHost(std::span<const std::uint8_t> bytes) {
    const double baud = line_.HostBaud();
    if (baud < kLowestBaud) return;
    const double now = std::max(chip_.Seconds(), sim0_ + WallSeconds());
    for (const auto b : bytes) to_chip_.Send(b, now, baud);
  }

  bool HasOutput() const { return !to_pty_.empty(); }
  void Flush() {
    const std::size_t done = tools::WriteWhatFits(line_.Master(), to_pty_, "to the line");
    to_pty_.erase(to_pty_.begin(), to_pty_.begin() + static_cast<std::ptrdiff_t>(done));
  }

 private:
  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count();
  }

  // The simulated time of the next thing to do: a slice end or a byte due.
  double NextEvent() const {
    double next = chip_.Seconds() + kSlice;
    if (const auto due = to_chip_.NextDue(chip_.Baud())) next = std::min(next, *due);
    if (const auto due = to_host_.NextDue(host_baud_)) next = std::min(next, *due);
    return next;
  }

  void Pump() {
    const double now = chip_.Seconds();
    const double chip_baud = chip_.Baud();
    for (const auto& s : chip_.TakeSent()) {
      to_host_.Send(s.value, static_cast<double>(s.cycle) / mcu::kCrystalHz, chip_baud);
    }
    for (const auto& r : to_chip_.Receive(now, chip_baud)) chip_.Receive(r.value, r.framing_error);
    if (to_host_.NextDue(host_baud_)) {
      host_baud_ = line_.HostBaud();
      const auto received = to_host_.Receive(now, std::max(host_baud_, kLowestBaud));
      if (host_baud_ >= kLowestBaud) {
        for (const auto& r : received) to_pty_.push_back(r.value);
      }
      if (!to_pty_.empty()) Flush();
    }
  }

  mcu::Atmega128& chip_;
  mcu::PtyLine& line_;
  mcu::UartWire to_chip_;
  mcu::UartWire to_host_;
  std::vector<std::uint8_t> to_pty_;
  double host_baud_ = 115200;
  const std::chrono::steady_clock::time_point wall0_ = std::chrono::steady_clock::now();
  double sim0_ = chip_.Seconds();
};

// A board on the fixture: the chip and the harness that serves its line.
struct Board {
  Board(const std::string& firmware, mcu::PtyLine& line, bool erased) : chip(firmware) {
    if (erased) chip.EraseApplicationSection();
    // A real part is out of reset and its loader listening long before a
    // host can type; a byte that came before the receiver is on would be lost.
    chip.RunUntil(mcu::Atmega128::CycleAt(kStartUp));
    harness = std::make_unique<Harness>(chip, line);
  }
  mcu::Atmega128 chip;
  std::unique_ptr<Harness> harness;
};

timespec Timespec(std::chrono::nanoseconds wait) {
  wait = std::max(wait, std::chrono::nanoseconds::zero());
  return {static_cast<time_t>(wait.count() / 1'000'000'000),
          static_cast<long>(wait.count() % 1'000'000'000)};
}

int Serve(const mcu::CommandLine& cl) {
  using Clock = std::chrono::steady_clock;
  ::signal(SIGPIPE, SIG_IGN);
  // The signals stay blocked to the end: a second one while the program
  // finishes must not cut the dump short or change the exit status.
  tools::SignalWatch signals({SIGTERM, SIGINT, SIGHUP, SIGUSR2},
                             tools::SignalWatch::AtEnd::kKeepBlocked);
  mcu::PtyLine line;
  // The board on the fixture; none while the fixture is empty.
  auto board = std::make_unique<Board>(cl.firmware, line, false);
  int board_number = 1;
  std::unique_ptr<serial::ScopedComMapping> mapping;
  if (cl.as)
    mapping = std::make_unique<serial::ScopedComMapping>(*cl.as, line.SlavePath(), "comflash-mcu");
  std::cout << line.SlavePath() << std::endl;

  // Board n's flash: the dump file itself for the first, FILE.n after it.
  const auto dump = [&] {
    if (!cl.dump || !board) return;
    const std::string path =
        board_number == 1 ? *cl.dump : *cl.dump + "." + std::to_string(board_number);
    tools::WriteFileAtomically(path, board->chip.Flash());
  };
  // The fixture's next change: the board on it goes at take_off, and the
  // next one comes at put_on.
  std::optional<Clock::time_point> take_off;
  std::optional<Clock::time_point> put_on;
  if (cl.swap_every) take_off = Clock::now() + *cl.swap_every;
  const auto swap = [&] {
    if (!board) return;
    dump();
    board.reset();  // what was on the wire goes with it
    take_off.reset();
    put_on = Clock::now() + cl.off_time;
  };
  try {
    for (;;) {
      std::chrono::nanoseconds wait = std::chrono::nanoseconds::max();
      if (board) {
        board->harness->CatchUp();
        wait = board->harness->Wait();
      }
      const auto now = Clock::now();
      for (const auto& change : {take_off, put_on})
        if (change) wait = std::min(wait, std::chrono::nanoseconds(*change - now));
      const timespec timeout = Timespec(wait);
      const bool output = board && board->harness->HasOutput();
      pollfd fds[2] = {
          {line.Master(), static_cast<short>(POLLIN | (output ? POLLOUT : 0)), 0},
          {signals.Fd(), POLLIN, 0},
      };
      if (::ppoll(fds, 2, wait == std::chrono::nanoseconds::max() ? nullptr : &timeout, nullptr) <
          0) {
        if (errno == EINTR) continue;
        throw SystemError("poll");
      }
      if (fds[1].revents & POLLIN) {
        bool end = false;
        for (const int sig : signals.Take()) {
          if (sig == SIGUSR2) {
            swap();
          } else {
            end = true;
          }
        }
        if (end) break;
      }
      if (fds[0].revents & POLLIN) {
        // The bytes go on the line now, not at the last slice.
        if (board) board->harness->CatchUp();
        std::uint8_t buf[4096];
        for (;;) {
          const ssize_t r = ::read(line.Master(), buf, sizeof buf);
          if (r > 0) {
            // An empty fixture hears nothing.
            if (board)
              board->harness->FromHost(
                  std::span<const std::uint8_t>(buf, static_cast<std::size_t>(r)));
            continue;
          }
          if (r < 0 && errno == EINTR) continue;
          if (r < 0 && errno == EAGAIN) break;
          throw SystemError("reading the line");
        }
      }
      if (board && (fds[0].revents & POLLOUT)) board->harness->Flush();
      if (take_off && Clock::now() >= *take_off) swap();
      if (put_on && Clock::now() >= *put_on) {
        // A new board: reset, its application flash erased, in its boot section.
        board = std::make_unique<Board>(cl.firmware, line, true);
        ++board_number;
        put_on.reset();
        if (cl.swap_every) take_off = Clock::now() + *cl.swap_every;
      }
    }
  } catch (...) {
    dump();
    throw;
  }
  dump();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto parse = [](const std::vector<std::string>& args) {
    return mcu::ParseCommandLine(args, COMFLASH_BOOTLOADER_DEFAULT);
  };
  const auto help = [] { return mcu::HelpText(COMFLASH_BOOTLOADER_DEFAULT); };
  return tools::ToolMain<mcu::UsageError>("comflash-mcu", argc, argv, parse, help, Serve);
}
