#include "tools/mcu/UartWire.h"

#include <algorithm>
#include <cmath>

namespace mcu {

Seconds UartWire::Send(std::uint8_t value, Seconds now, double baud) {
  const Seconds start = std::max(now, free_);
  frames_.push_back(Frame{start, baud, value});
  free_ = frames_.back().End();
  return start;
}

int UartWire::LevelAt(Seconds t) const {
  for (const auto& f : frames_) {
    if (t < f.start) break;
    if (t < f.End()) {
      const int k = std::clamp(static_cast<int>(std::floor((t - f.start) * f.baud)), 0, 9);
      return f.Bit(k);
    }
  }
  return 1;  // an idle line is high
}

std::optional<Seconds> UartWire::FallingEdge(Seconds t) const {
  for (const auto& f : frames_) {
    if (f.End() <= t) continue;
    // Frames never overlap, and the one before ends with its high stop bit.
    for (int k = 0; k <= 8; ++k) {
      const Seconds boundary = f.start + k / f.baud;
      if (boundary < t) continue;
      const int before = k == 0 ? 1 : f.Bit(k - 1);
      if (before == 1 && f.Bit(k) == 0) return boundary;
    }
  }
  return std::nullopt;
}

std::optional<Seconds> UartWire::NextDue(double baud) const {
  const auto edge = FallingEdge(hunt_from_);
  if (!edge) return std::nullopt;
  return *edge + 9.5 / baud;
}

std::vector<ReceivedByte> UartWire::Receive(Seconds now, double baud) {
  std::vector<ReceivedByte> out;
  for (;;) {
    const auto edge = FallingEdge(hunt_from_);
    if (!edge || *edge + 9.5 / baud > now) break;
    const Seconds e = *edge;
    // A start bit that is high again at its middle was a glitch.
    if (LevelAt(e + 0.5 / baud) != 0) {
      hunt_from_ = e + 0.5 / baud;
      continue;
    }
    ReceivedByte byte;
    for (int i = 0; i < 8; ++i) {
      if (LevelAt(e + (1.5 + i) / baud)) byte.value |= static_cast<std::uint8_t>(1U << i);
    }
    byte.at = e + 9.5 / baud;
    byte.framing_error = LevelAt(byte.at) == 0;
    out.push_back(byte);
    hunt_from_ = byte.at;
  }
  // Frames wholly behind the receiver are no longer needed.
  while (!frames_.empty() && frames_.front().End() <= hunt_from_) frames_.pop_front();
  return out;
}

}  // namespace mcu
