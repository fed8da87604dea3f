// Frames and answers of the bootloader protocol, for the simulator's tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/sim/BootloaderSim.h"

namespace simtest {

using sim::BootloaderSim;
using sim::Bytes;
using sim::SimOptions;
using sim::TimePoint;

inline const Bytes kHandshake = {0x33, 0x33};
inline const Bytes kHandshakeAck = {0x55, 0x33, 0xAA};
inline const Bytes kBlockAck = {0x55, 0x11, 0xAA};
inline const Bytes kRefused = {0x55, 0xEE, 0xAA};

inline Bytes Data(std::uint8_t seed) {
  Bytes data(sim::kBlockSize);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return data;
}

inline Bytes Frame(int n, const Bytes& data, int n_again = -1) {
  Bytes f;
  f.reserve(data.size() + 4);
  f.push_back(0x11);
  f.push_back(static_cast<std::uint8_t>(n));
  f.push_back(static_cast<std::uint8_t>(n_again < 0 ? n : n_again));
  f.insert(f.end(), data.begin(), data.end());
  std::uint8_t c = 0;
  for (const auto b : f) c ^= b;
  f.push_back(c);
  return f;
}

inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace simtest
