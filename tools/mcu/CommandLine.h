// comflash-mcu's command line.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mcu {

// What --help says besides the options, which the parser lists itself.
inline constexpr const char* kDescription =
    R"(A simulated ATmega128 (14.7456 MHz crystal, started in its boot section at
0x1F800) running the bootloader firmware, its USART0 wired to a
pseudo-terminal. It prints the path of the terminal's slave side as its only
line of output and runs until SIGTERM or SIGINT.

The simulation keeps to the wall clock: one simulated second per second. The
line moves 10 bits per byte at the rates both ends are set to: the chip's
UBRR0 on its side, the speed the host sets on the terminal on the other (a
mismatch garbles bytes as a real line would).

Fixture: on SIGUSR2, or every --swap-every MS, the board is taken off (the
line goes silent and deaf for --off-ms) and a new board is put on: the chip is
reset with its application flash erased (0xFF below the boot section, the
bootloader kept) and starts in its boot section. Each board's flash goes to
its own dump file.)";

inline constexpr const char* kFooter =
    "Exit status: 0 when ended by a signal (SIGTERM, SIGINT, SIGHUP), 1 on a failure, 64 on a "
    "usage error.";

// What bad arguments end in.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  std::string firmware;
  std::optional<std::string> as;
  std::optional<std::string> dump;
  // The fixture: how long each board stays on (none: until SIGUSR2), and how
  // long the fixture stays empty between two boards.
  std::optional<std::chrono::milliseconds> swap_every;
  std::chrono::milliseconds off_time{500};
  bool help = false;
};

// The program's --help text; default_firmware is named as --firmware's default.
std::string HelpText(const std::string& default_firmware);

// Reads the arguments after the program name. Throws UsageError.
CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string default_firmware);

}  // namespace mcu
