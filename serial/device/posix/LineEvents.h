// The communication events of one open line: the mask, the events seen and
// not yet reported, the modem lines last seen, the transmit-empty event owed
// after a write, and the error flags since the last status read (from the
// driver's error counters and from a hang-up). Bookkeeping only: the I/O
// side reads the driver and hands the readings in; the event wait these
// events end is kept in the request table.
//
// Guarded by its owner's lock, like the request table.
#pragma once

#include <cstdint>

#include "serial/device/SerialApi.h"
#include "serial/device/posix/RequestTable.h"

namespace serial::posix {

// The driver's error counters, as far as it keeps them.
struct DriverCounts {
  int frame = 0;
  int parity = 0;
  int overrun = 0;
  int bufferOverrun = 0;
  int breaks = 0;
};

class LineEvents {
 public:
  // The platform's CE_IOE flag: the device reported an I/O failure (here: it
  // hung up).
  static constexpr std::uint32_t kCeIoError = 0x0400;
  static constexpr std::uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;

  explicit LineEvents(RequestTable& requests) : requests_(requests) {}

  // Like the platform: a new mask forgets the events seen so far and ends an
  // outstanding wait with no events.
  void SetMask(std::uint32_t mask);
  std::uint32_t Mask() const { return mask_; }
  bool WantsModemLines() const { return (mask_ & kModemEvents) != 0; }

  // WaitCommEvent: 0 when it ended at once with the events seen,
  // kErrorIoPending when it waits, else the error (a line that hung up has
  // no more events to wait for).
  std::uint32_t Wait(std::uint32_t* mask, TOverlapped* ov, bool hungUp);

  // Events outside the mask are not recorded, as on the platform.
  void Raise(std::uint32_t events);

  // The modem lines (TIOCM_* bits) from which changes count.
  void SeeModemLines(int lines) { modem_lines_ = lines; }
  // Raises CTS, DSR and carrier changes, and the start of a ring.
  void ModemLines(int lines);

  // The counters from which errors count; later, the flags and events of
  // what the counters added since (the events are returned, not raised).
  void SeeCounts(const DriverCounts& counts) { counts_ = counts; }
  std::uint32_t Count(const DriverCounts& now);

  void AddErrors(std::uint32_t flags) { errors_ |= flags; }
  // The error flags since the last call.
  std::uint32_t TakeErrors();

  // EV_TXEMPTY is owed once the last write has been handed to the driver
  // (when the mask asks for it), and raised once the driver has drained.
  void OweTxEmpty();
  bool TxEmptyDue() const { return tx_empty_owed_ && !requests_.HasWrites(); }
  // With the driver's transmit queue at queued bytes (negative: it cannot
  // tell) on a line of baud: raises an owed EV_TXEMPTY once drained and
  // returns -1, or returns how many ms to wait before looking again.
  int TxQueue(int queued, std::uint32_t baud);
  static constexpr int kTxDrainPollMaxMs = 50;

  // The line is gone: the error flag is set, nothing is owed any more and
  // the event wait ends with EIO.
  void HangUp();

 private:
  RequestTable& requests_;
  std::uint32_t mask_ = 0;
  std::uint32_t pending_ = 0;  // seen and not yet reported
  std::uint32_t errors_ = 0;
  bool tx_empty_owed_ = false;
  int modem_lines_ = 0;
  DriverCounts counts_;
};

}  // namespace serial::posix
