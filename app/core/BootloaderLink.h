// The two exchanges with the device's resident bootloader: the handshake and
// the numbered block write, each awaited for its three-byte acknowledgement.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "serial/VaComm.h"

namespace comflash {

inline constexpr std::uint8_t kHandshakeByte = 0x33;
inline constexpr std::uint8_t kWriteBlockCommand = 0x11;
inline constexpr std::uint8_t kAckStart = 0x55;
inline constexpr std::uint8_t kAckEnd = 0xAA;
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::int64_t kHandshakeLimitMs = 2500;
inline constexpr std::int64_t kBlockLimitMs = 5000;

using BlockData = std::array<std::uint8_t, kBlockSize>;
// Appends one line to the log.
using LogSink = std::function<void(const std::string& line)>;
// Processes all pending window messages.
using ProcessMessagesHook = std::function<void()>;
// A monotonic clock reading in microseconds; a change of the wall clock
// neither ends a reply wait early nor stretches it.
using MicrosecondClock = std::function<std::int64_t()>;

std::int64_t SteadyMicroseconds();

class BootloaderLink {
 public:
  BootloaderLink(serial::TVaCustomComm& port, LogSink log, ProcessMessagesHook processMessages,
                 MicrosecondClock clock = SteadyMicroseconds);

  // Sends 0x33 0x33, waits up to 2500 ms for 0x55 0x33 0xAA, logs the three
  // received bytes in decimal and the verdict.
  bool DeviceReady();
  // Purges, processes messages, sends 0x11 N N, the data and the check byte
  // (dataXor ^ 0x11 ^ N ^ N), waits up to 5000 ms for 0x55 0x11 0xAA.
  bool WriteBlock(std::uint8_t n, const BlockData& data, std::uint8_t dataXor);

  // The last reply wait's bytes and how many of them came (0 to 3).
  const std::array<std::uint8_t, 3>& LastReply() const { return last_reply_; }
  int LastReplyBytes() const { return last_reply_bytes_; }

 private:
  // Waits until three bytes are queued or the limit has passed, then reads
  // exactly three bytes.
  std::array<std::uint8_t, 3> AwaitReply(std::int64_t limitMs);

  serial::TVaCustomComm& port_;
  LogSink log_;
  ProcessMessagesHook process_messages_;
  MicrosecondClock clock_;
  std::array<std::uint8_t, 3> last_reply_{};
  int last_reply_bytes_ = 0;
};

}  // namespace comflash
