#include "app/core/BootloaderLink.h"

#include <cstdlib>

#include "framework/Clock.h"

namespace comflash {

std::int64_t SteadyMicroseconds() {
  return framework::MonotonicMicroseconds();
}

BootloaderLink::BootloaderLink(serial::TVaCustomComm& port, LogSink log,
                               ProcessMessagesHook processMessages, MicrosecondClock clock)
    : port_(port),
      log_(std::move(log)),
      process_messages_(std::move(processMessages)),
      clock_(std::move(clock)) {}

std::array<std::uint8_t, 3> BootloaderLink::AwaitReply(std::int64_t limitMs) {
  const std::int64_t start = clock_();
  // Each pass sleeps in the port until the third byte is queued or the limit
  // is reached, so the protocol goes on the moment the reply is complete
  // without holding a core meanwhile; no messages are processed.
  for (;;) {
    const std::int64_t elapsedUs = std::llabs(clock_() - start);
    if (elapsedUs / 1000 >= limitMs) break;  // whole milliseconds, truncated
    if (port_.InQueueCount() > 2) break;
    port_.WaitForInQueue(3, limitMs * 1000 - elapsedUs);
  }
  std::array<std::uint8_t, 3> reply{0, 0, 0};
  last_reply_bytes_ = 0;
  for (auto& b : reply)
    if (port_.ReadByte(b)) ++last_reply_bytes_;
  last_reply_ = reply;
  return reply;
}

bool BootloaderLink::DeviceReady() {
  port_.WriteByte(kHandshakeByte);
  port_.WriteByte(kHandshakeByte);
  const auto r = AwaitReply(kHandshakeLimitMs);
  log_(std::to_string(r[0]) + " " + std::to_string(r[1]) + " " + std::to_string(r[2]));
  if (r[0] == kAckStart && r[1] == kHandshakeByte && r[2] == kAckEnd) {
    log_("Устройство готово!");
    return true;
  }
  log_("Устройство не готово!");
  return false;
}

bool BootloaderLink::WriteBlock(std::uint8_t n, const BlockData& data, std::uint8_t dataXor) {
  port_.PurgeAll();
  process_messages_();
  std::uint8_t check = dataXor;
  check ^= kWriteBlockCommand;
  check ^= n;
  check ^= n;
  port_.WriteByte(kWriteBlockCommand);
  port_.WriteByte(n);
  port_.WriteByte(n);
  port_.WriteBytes(data.data(), static_cast<std::int32_t>(data.size()));
  port_.WriteByte(check);
  const auto r = AwaitReply(kBlockLimitMs);
  if (r[0] == kAckStart && r[1] == kWriteBlockCommand && r[2] == kAckEnd) {
    log_("Блок: N" + std::to_string(n) + " успешно записан.");
    return true;
  }
  log_("Ошибка записи - Блок: N" + std::to_string(n));
  return false;
}

}  // namespace comflash
