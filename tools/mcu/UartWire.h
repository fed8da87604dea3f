// One direction of an asynchronous serial line, bit by bit: a transmitter
// sends 8N1 frames at its baud rate and a receiver at its own rate finds start
// edges and samples the middle of each bit. With equal rates every byte
// arrives as sent, 10 bit times after it started; with rates apart the
// receiver gets what a real one would: other bytes, framing errors, or nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace mcu {

// Seconds of simulated time.
using Seconds = double;

struct ReceivedByte {
  std::uint8_t value = 0;
  bool framing_error = false;  // the stop bit was sampled low
  Seconds at = 0;              // when the receiver had it (middle of the stop bit)
};

class UartWire {
 public:
  // Queues a frame at the transmitter's rate; it starts at `now` or when the
  // frame before it has left, whichever is later. Returns its start.
  Seconds Send(std::uint8_t value, Seconds now, double baud);

  // The bytes the receiver has completed by `now`. Every time at or before
  // `now` must be final: frames sent later start at or after it.
  std::vector<ReceivedByte> Receive(Seconds now, double baud);

  // When the transmitter is done with everything queued.
  Seconds Free() const { return free_; }
  // The earliest time Receive can yield more, at this receiver rate; nothing
  // when no frame is on the line.
  std::optional<Seconds> NextDue(double baud) const;

 private:
  struct Frame {
    Seconds start;
    double baud;
    std::uint8_t value;
    Seconds End() const { return start + 10.0 / baud; }
    int Bit(int k) const { return k == 0 ? 0 : k == 9 ? 1 : (value >> (k - 1)) & 1; }
  };

  int LevelAt(Seconds t) const;
  // The first high-to-low transition at or after t, if one is on the line.
  std::optional<Seconds> FallingEdge(Seconds t) const;

  std::deque<Frame> frames_;
  Seconds free_ = 0;
  Seconds hunt_from_ = 0;  // the receiver looks for a start edge from here
};

}  // namespace mcu
