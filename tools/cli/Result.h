// How one port's upload ended, and the two ways comflash-cli reports it: the
// summary line and the JSON object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitHandshake = 1;
inline constexpr int kExitBlock = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitFile = 4;
// The upload itself went through, but a line meant for standard output or
// the --log file could not be written (a full disk, /dev/full).
inline constexpr int kExitOutput = 5;
inline constexpr int kExitUsage = 64;

enum class Outcome {
  kCompleted,
  kHandshakeRefused,
  kBlockFailed,
  kPortError,
  kInterrupted,
  kFileError,
};

struct PortResult {
  std::string port;
  Outcome outcome = Outcome::kPortError;
  int exitStatus = kExitPort;
  int blocksWritten = 0;
  int retries = 0;
  unsigned block = 0;  // the failed or interrupted block; 0 before the first
  double seconds = 0;
  std::optional<std::uint32_t> crc32;  // none when the file was not loaded
  // False for an upload whose process ended before it could say how it went:
  // its counts are not known.
  bool counted = true;
  std::string error;  // what went wrong, "" on success
  // The board's running number in a production loop; none for a single
  // upload.
  std::optional<int> board;
};

// "completed", "handshake-refused", "block-failed", "port-error", "interrupted",
// "file-error".
const char* OutcomeName(Outcome outcome);

// "summary: completed, 123 of 123 blocks written, 0 retries, 11.42 s, CRC-32
// 1A2B3C4D over <the sent range>, port COM3"
std::string SummaryLine(const PortResult& r);

// The same for one board of a production loop: "board 3: completed, ...".
std::string BoardLine(const PortResult& r);

// {"port":"COM3","outcome":"completed","exit_status":0,"blocks":123,
//  "retries":0,"seconds":11.42,"crc32":"1A2B3C4D","error":null}: always valid
// JSON (bytes that are not UTF-8 become U+FFFD); null for what is not known.
// A board of a production loop has "board":n after "port".
std::string JsonObject(const PortResult& r);

// The outcome an exit status of a port's upload stands for, as a phrase.
std::string DescribeExitStatus(int status);

}  // namespace cli
