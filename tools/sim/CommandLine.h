// The simulated device's command line.
#pragma once

#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "serial/device/posix/PortMap.h"
#include "tools/common/ToolParser.h"
#include "tools/sim/BootloaderSim.h"

namespace sim {

// What --help says besides the options, which the parser lists itself.
inline constexpr const char* kDescription =
    R"(A simulated bootloader device on a pseudo-terminal. It prints the path of the
terminal's slave side as its first line of output, then one event line per
thing it sees, and serves the link until SIGTERM or SIGINT (or end of standard
input with --stdin-exit). The slave stays usable across the host closing and
reopening it.

Link: handshake 0x33 0x33 is answered 0x55 0x33 0xAA. A block frame 0x11 N N,
1024 data bytes, check byte (XOR of the 1027 bytes before it) is stored at
N * 1024 of a 128 KiB memory (zero at start) and answered 0x55 0x11 0xAA; a
frame with an unrepeated N, an N of 128 or more, or a wrong check byte is
answered 0x55 0xEE 0xAA and stores nothing. A block may be written again.
A pause longer than the gap abandons a partial request.

Fixture: on SIGUSR2, or every --swap-every MS, the board is taken off (the
line goes silent and deaf for --off-ms) and a new board is put on, with an
empty memory; each board's memory goes to its own dump file. With
--unplug-with-board the board's USB-serial adapter goes with it: the terminal
hangs up and its --as name goes away, and the next board comes on a new
terminal under the same name; SIGHUP then unplugs and replugs the adapter
alone, the board and its memory kept.)";

inline constexpr const char* kFooter =
    R"(Output lines (stdout, one per line, flushed):
  <slave path>         always the first line
  HANDSHAKE            a handshake request came (answered as --handshake says)
  BLOCK <n> OK         block n stored and acknowledged
  BLOCK <n> REFUSED    block n refused by --refuse
  BLOCK <n> BADXOR     block n's check byte was wrong; refused
  BLOCK <n> BADNUM     the two block numbers differ (n is the first) or n is
                       128 or more; refused
  RESYNC <count>       a pause cut a partial request; its count bytes dropped
  IGNORED <count>      count bytes that started no request were skipped
  NOISE <count>        count noise bytes were sent
  DROP                 the line was hung up (--drop-after)
  BOARD <n> OFF        board n was taken off the fixture (SIGUSR2, --swap-every)
  BOARD <n> ON         board n was put on, its memory empty (n from 2)
  UNPLUGGED            the adapter was pulled: the terminal hung up, the --as
                       name removed (--unplug-with-board)
  PLUGGED <slave path> the adapter is back on a new terminal, mapped again

Exit status: 0 when ended as above, 1 on a failure, 64 on a usage error.)";

// What --help and bad arguments end in.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  SimOptions sim;
  std::optional<std::string> as;
  std::optional<std::string> dump;
  std::size_t noise = 0;
  // The fixture: how long each board stays on (none: until SIGUSR2), and how
  // long the fixture stays empty between two boards.
  std::optional<std::chrono::milliseconds> swap_every;
  std::chrono::milliseconds off_time{500};
  // The board's adapter is unplugged with it: a new terminal for each board.
  bool unplug_with_board = false;
  bool stdin_exit = false;
  bool help = false;
};

namespace detail {

inline long ParseNumber(std::string_view text, long min, long max, const std::string& what) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    throw UsageError(what + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not '" + std::string(text) + "'");
  }
  return value;
}

inline int ParseBlock(std::string_view text, const std::string& option) {
  return static_cast<int>(ParseNumber(text, 0, 255, "the block number of " + option));
}

inline HandshakeMode ParseHandshake(const std::string& text) {
  if (text == "ok") return HandshakeMode::kOk;
  if (text == "silent") return HandshakeMode::kSilent;
  if (text == "short") return HandshakeMode::kShort;
  if (text == "reversed") return HandshakeMode::kReversed;
  if (text == "doubled") return HandshakeMode::kDoubled;
  throw UsageError("--handshake takes ok, silent, short, reversed or doubled, not '" + text + "'");
}

}  // namespace detail

// The option texts as the parser reads them, before their values are checked.
struct RawOptions {
  std::string as, dump, gap_ms, handshake, late_ack, noise, drop_after, baud, swap_every, off_ms;
  std::vector<std::string> refuse;
};

// The parser over raw and cl; its help text is the program's --help.
inline std::unique_ptr<CLI::App> MakeParser(RawOptions& raw, CommandLine& cl) {
  auto app = tools::MakeToolParser(kDescription, "comflash-sim", kFooter, cl.help);
  app->add_option("--as", raw.as,
                  "also map the slave as COMn in the port map folder ($COMFLASH_PORTS chooses "
                  "it); the link goes at exit")
      ->type_name("COMn");
  app->add_option("--dump", raw.dump,
                  "write the 128 KiB memory to FILE (temp file + rename) after every accepted "
                  "block and at exit; board n from 2 on writes FILE.n")
      ->type_name("FILE");
  app->add_option("--gap-ms", raw.gap_ms, "pause that abandons a partial request (default 50)")
      ->type_name("MS");
  app->add_option("--handshake", raw.handshake,
                  "ok (default): 0x55 0x33 0xAA; silent: no answer; short: 0x55 0x33; reversed: "
                  "0xAA 0x33 0x55; doubled: 0x55 0x33 0xAA twice")
      ->type_name("MODE");
  app->add_option("--refuse", raw.refuse,
                  "refuse the first K intact frames of block N, then accept (repeatable, once "
                  "per block)")
      ->type_name("N:K")
      ->allow_extra_args(false);
  app->add_option("--late-ack", raw.late_ack,
                  "answer the first intact frame of block N only after MS ms (default 5200); "
                  "later answers queue behind it")
      ->type_name("N[:MS]");
  app->add_option("--noise", raw.noise,
                  "send COUNT noise bytes (never 0x55) at start and on every SIGUSR1")
      ->type_name("COUNT");
  app->add_option("--drop-after", raw.drop_after,
                  "once the acknowledgement of block N has been read, hang the line up (as an "
                  "unplugged device), print DROP, write the dump and exit 0")
      ->type_name("N");
  app->add_option("--baud", raw.baud,
                  "answer no earlier than (request + answer bytes) * 10 bits / RATE after the "
                  "request's first byte came")
      ->type_name("RATE");
  app->add_option("--swap-every", raw.swap_every,
                  "take each board off after MS ms on the fixture and put a new one on (SIGUSR2 "
                  "does the same at once)")
      ->type_name("MS");
  app->add_option("--off-ms", raw.off_ms,
                  "how long the fixture stays empty between two boards (default 500)")
      ->type_name("MS");
  app->add_flag("--unplug-with-board", cl.unplug_with_board,
                "unplug the USB-serial adapter with each board taken off: hang the terminal up "
                "and remove the --as name; the next board comes on a new terminal (PLUGGED "
                "<path>); SIGHUP unplugs it alone for --off-ms")
      ->disable_flag_override();
  app->add_flag("--stdin-exit", cl.stdin_exit,
                "end cleanly when standard input reaches end of file")
      ->disable_flag_override();
  return app;
}

// The program's --help text.
inline std::string HelpText() {
  RawOptions raw;
  CommandLine cl;
  return MakeParser(raw, cl)->help();
}

// Reads the arguments after the program name. Throws UsageError.
inline CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  RawOptions raw;
  auto app = MakeParser(raw, cl);
  tools::ParseToolArguments<UsageError>(*app, args);
  const auto given = [&](const char* name) { return app->count(name) > 0; };
  if (given("--as")) {
    cl.as = raw.as;
    if (!serial::ComPortNumber(raw.as))
      throw UsageError("--as takes a name like COM3, not '" + raw.as + "'");
  }
  if (given("--dump")) {
    if (raw.dump.empty()) throw UsageError("--dump needs a file name");
    cl.dump = raw.dump;
  }
  if (given("--gap-ms"))
    cl.sim.gap = std::chrono::milliseconds(detail::ParseNumber(raw.gap_ms, 1, 60000, "--gap-ms"));
  if (given("--handshake")) cl.sim.handshake = detail::ParseHandshake(raw.handshake);
  for (const std::string& v : raw.refuse) {
    const auto colon = v.find(':');
    if (colon == std::string::npos) throw UsageError("--refuse takes N:K, not '" + v + "'");
    const int block = detail::ParseBlock(std::string_view(v).substr(0, colon), "--refuse");
    const auto times = static_cast<int>(
        detail::ParseNumber(std::string_view(v).substr(colon + 1), 1, 1000000, "K of --refuse"));
    if (!cl.sim.refuse.emplace(block, times).second)
      throw UsageError("--refuse given twice for block " + std::to_string(block));
  }
  if (given("--late-ack")) {
    const std::string& v = raw.late_ack;
    const auto colon = v.find(':');
    cl.sim.late_ack_block = detail::ParseBlock(std::string_view(v).substr(0, colon), "--late-ack");
    if (colon != std::string::npos) {
      cl.sim.late_ack_delay = std::chrono::milliseconds(detail::ParseNumber(
          std::string_view(v).substr(colon + 1), 0, 3600000, "the delay of --late-ack"));
    }
  }
  if (given("--noise"))
    cl.noise = static_cast<std::size_t>(detail::ParseNumber(raw.noise, 0, 1 << 20, "--noise"));
  if (given("--drop-after")) cl.sim.drop_after = detail::ParseBlock(raw.drop_after, "--drop-after");
  if (given("--baud")) cl.sim.baud = detail::ParseNumber(raw.baud, 1, 100000000, "--baud");
  if (given("--swap-every"))
    cl.swap_every =
        std::chrono::milliseconds(detail::ParseNumber(raw.swap_every, 1, 86400000, "--swap-every"));
  if (given("--off-ms"))
    cl.off_time =
        std::chrono::milliseconds(detail::ParseNumber(raw.off_ms, 0, 86400000, "--off-ms"));
  return cl;
}

}  // namespace sim
