// The communication events of one open line (LineEvents.h).
#include "serial/device/posix/LineEvents.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace serial::posix {

void LineEvents::SetMask(std::uint32_t mask) {
  mask_ = mask;
  pending_ = 0;
  if (requests_.Waiting()) requests_.CompleteWait(0, 0);
}

std::uint32_t LineEvents::Wait(std::uint32_t* mask, TOverlapped* ov, bool hungUp) {
  if (requests_.Waiting() || requests_.IsOutstanding(ov) || mask_ == 0) return EINVAL;
  if (pending_ != 0) {
    *mask = std::exchange(pending_, 0);
    requests_.CompleteAtOnce(ov, 0);
    return 0;
  }
  if (hungUp) return EIO;
  requests_.BeginWait(ov, mask);
  return kErrorIoPending;
}

void LineEvents::Raise(std::uint32_t events) {
  pending_ |= events & mask_;
  if (requests_.Waiting() && pending_ != 0) requests_.CompleteWait(std::exchange(pending_, 0), 0);
}

void LineEvents::ModemLines(int lines) {
  const int changed = lines ^ modem_lines_;
  std::uint32_t events = 0;
  if (changed & TIOCM_CTS) events |= kEvCts;
  if (changed & TIOCM_DSR) events |= kEvDsr;
  if (changed & TIOCM_CD) events |= kEvRlsd;
  if ((changed & TIOCM_RNG) && (lines & TIOCM_RNG)) events |= kEvRing;
  modem_lines_ = lines;
  if (events != 0) Raise(events);
}

std::uint32_t LineEvents::Count(const DriverCounts& now) {
  std::uint32_t events = 0;
  auto count = [&](int before, int after, std::uint32_t error, std::uint32_t event) {
    if (before == after) return;
    errors_ |= error;
    events |= event;
  };
  count(counts_.frame, now.frame, kCeFrame, kEvErr);
  count(counts_.parity, now.parity, kCeRxParity, kEvErr);
  count(counts_.overrun, now.overrun, kCeOverrun, kEvErr);
  count(counts_.bufferOverrun, now.bufferOverrun, kCeRxOver, kEvErr);
  count(counts_.breaks, now.breaks, kCeBreak, kEvBreak);
  counts_ = now;
  return events;
}

std::uint32_t LineEvents::TakeErrors() {
  return std::exchange(errors_, 0);
}

void LineEvents::OweTxEmpty() {
  if (mask_ & kEvTxEmpty) tx_empty_owed_ = true;
}

int LineEvents::TxQueue(int queued, std::uint32_t baud) {
  if (!TxEmptyDue()) return -1;
  // A driver that cannot tell (and a pseudo-terminal, which always says 0)
  // counts as drained.
  if (queued <= 0) {
    tx_empty_owed_ = false;
    Raise(kEvTxEmpty);
    return -1;
  }
  // About the time the queued bytes take on the line (10 bits each), within
  // bounds, so neither a slow line nor a fast one makes the I/O thread spin.
  const std::uint64_t rate = baud != 0 ? baud : 9600;
  const std::uint64_t ms = static_cast<std::uint64_t>(queued) * 10 * 1000 / rate + 1;
  return static_cast<int>(std::clamp<std::uint64_t>(ms, 1, kTxDrainPollMaxMs));
}

void LineEvents::HangUp() {
  errors_ |= kCeIoError;
  tx_empty_owed_ = false;
  if (requests_.Waiting()) requests_.CompleteWait(0, EIO);
}

}  // namespace serial::posix
