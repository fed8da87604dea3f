// The simulated bootloader's frame parser over a host stream cut into arbitrary pieces, with
// arbitrary pauses between them.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tests/fuzz/CheckFailure.h"
#include "tests/fuzz/FuzzChecks.h"
#include "tools/sim/BootloaderSim.h"

namespace fuzzcheck {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kHeader = 8;  // 4 option bytes, 4 bytes seeding the cuts and pauses

// A small fixed generator: the same input always gives the same cuts.
struct Cuts {
  std::uint32_t state;
  std::uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// Whether the history holds a well-formed frame for block n, ending inside [from, to), whose
// data are the device's block now, with no pause longer than the gap between its bytes.
bool WellFormedFrameEndsIn(const std::vector<std::uint8_t>& bytes,
                           const std::vector<sim::TimePoint>& times, std::size_t from,
                           std::size_t to, int n, const std::uint8_t* block,
                           std::chrono::milliseconds gap) {
  for (std::size_t end = std::max(from + 1, sim::kFrameSize); end <= to; ++end) {
    const std::size_t start = end - sim::kFrameSize;
    const std::uint8_t* f = bytes.data() + start;
    if (f[0] != sim::kWriteBlock || f[1] != n || f[2] != n) continue;
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < sim::kFrameSize; ++i) x ^= f[i];
    if (x != f[sim::kFrameSize - 1]) continue;
    if (std::memcmp(f + 3, block, sim::kBlockSize) != 0) continue;
    bool paused = false;
    for (std::size_t i = start + 1; i < end && !paused; ++i) paused = times[i] - times[i - 1] > gap;
    if (!paused) return true;
  }
  return false;
}

bool IsKnownAnswer(const sim::Bytes& b) {
  using sim::kAckEnd, sim::kAckStart, sim::kHandshakeByte, sim::kRefusal, sim::kWriteBlock;
  const std::vector<sim::Bytes> known{
      {kAckStart, kHandshakeByte, kAckEnd},
      {kAckStart, kHandshakeByte},
      {kAckEnd, kHandshakeByte, kAckStart},
      {kAckStart, kHandshakeByte, kAckEnd, kAckStart, kHandshakeByte, kAckEnd},
      {kAckStart, kWriteBlock, kAckEnd},
      {kAckStart, kRefusal, kAckEnd}};
  return std::find(known.begin(), known.end(), b) != known.end();
}

}  // namespace

void CheckFrameParser(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return;
  sim::SimOptions options;
  options.handshake = static_cast<sim::HandshakeMode>(data[0] % 5);
  if (data[1] < sim::kBlockCount) options.refuse[data[1]] = 1 + (data[3] >> 4) % 6;
  if (data[2] < sim::kBlockCount) options.drop_after = data[2];
  if (data[3] & 1) options.baud = 115200;
  if ((data[3] & 2) && data[1] < sim::kBlockCount) options.late_ack_block = data[1];
  Cuts cuts{static_cast<std::uint32_t>(data[4] | data[5] << 8 | data[6] << 16 |
                                       static_cast<std::uint32_t>(data[7]) << 24)};
  const std::span<const std::uint8_t> stream(data + kHeader, size - kHeader);

  sim::BootloaderSim device(options);
  std::vector<std::uint8_t> fed;
  std::vector<sim::TimePoint> times;
  fed.reserve(stream.size());
  times.reserve(stream.size());
  // What the memory must hold: the blocks of accepted frames, zero elsewhere.
  std::array<std::uint8_t, sim::kMemorySize> shadow{};
  sim::TimePoint now{};
  bool dropped = false;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    // Pieces of 1 to 1100 bytes, mostly short; pauses mostly within the gap, some past it.
    const std::uint32_t r = cuts.Next();
    const std::size_t piece =
        std::min<std::size_t>(stream.size() - pos, (r & 0x100) ? 1 + r % 1100 : 1 + r % 64);
    const std::uint32_t p = cuts.Next();
    now += (p % 16 == 0) ? std::chrono::milliseconds(51 + p % 200)
                         : std::chrono::microseconds(p % 3000);
    device.Advance(now);
    for (const auto& e : device.TakeEvents())
      FUZZ_CHECK(e.rfind("RESYNC ", 0) == 0 || e.rfind("IGNORED ", 0) == 0,
                 "event \"%s\" while no byte came", e.c_str());

    const std::size_t from = fed.size();
    fed.insert(fed.end(), stream.begin() + pos, stream.begin() + pos + piece);
    times.insert(times.end(), piece, now);
    pos += piece;
    device.Receive(stream.subspan(from, piece), now);

    for (const auto& e : device.TakeEvents()) {
      int n = -1;
      char verdict[16] = {};
      if (std::sscanf(e.c_str(), "BLOCK %d %15s", &n, verdict) != 2) continue;
      if (std::string(verdict) != "OK") continue;
      FUZZ_CHECK(!dropped, "block %d accepted after the line dropped", n);
      FUZZ_CHECK(n >= 0 && n < sim::kBlockCount, "block %d accepted", n);
      const std::uint8_t* block = device.Memory().data() + n * sim::kBlockSize;
      FUZZ_CHECK(WellFormedFrameEndsIn(fed, times, from, fed.size(), n, block, options.gap),
                 "block %d accepted without a well-formed frame in the last %zu bytes", n, piece);
      std::memcpy(shadow.data() + n * sim::kBlockSize, block, sim::kBlockSize);
      if (options.drop_after == n) dropped = true;
    }
    for (const auto& answer : device.TakeDueAnswers(now + 10s))
      FUZZ_CHECK(IsKnownAnswer(answer.bytes), "an answer of %zu bytes that the device never sends",
                 answer.bytes.size());
  }
  device.Finish();
  // Once per input: comparing the whole memory after every piece costs more than the parser.
  if (std::memcmp(shadow.data(), device.Memory().data(), sim::kMemorySize) != 0) {
    std::size_t at = 0;
    while (shadow[at] == device.Memory()[at]) ++at;
    FUZZ_CHECK(false, "block %zu changed without being accepted", at / sim::kBlockSize);
  }
}

}  // namespace fuzzcheck
