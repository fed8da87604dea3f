// How one port's upload ended, and the two ways comflash-cli reports it: the
// summary line and the JSON object.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitHandshake = 1;
inline constexpr int kExitBlock = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitFile = 4;
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
  std::uint32_t crc32 = 0;
  std::string error;  // what went wrong, "" on success
};

// "completed", "handshake-refused", "block-failed", "port-error", "interrupted",
// "file-error".
const char* OutcomeName(Outcome outcome);

// "summary: completed, 123 of 123 blocks written, 0 retries, 11.42 s, CRC-32
// 1A2B3C4D over 0x00C00..0x1F7FF, port COM3"
std::string SummaryLine(const PortResult& r);

// {"port":"COM3","outcome":"completed","blocks":123,"retries":0,
//  "seconds":11.42,"crc32":"1A2B3C4D","error":null}
std::string JsonObject(const PortResult& r);

// A JSON string literal.
std::string JsonString(const std::string& text);

// The outcome an exit status of a port's upload stands for, as a phrase.
std::string DescribeExitStatus(int status);

}  // namespace cli
