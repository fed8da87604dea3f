// The bootloader side of the link, as a state machine with no I/O of its own:
// the caller feeds received bytes and the current time, and takes the answers
// that are due, the event lines and the memory. Time is always passed in, so
// tests drive it with made-up time points.
//
// The engine is header-only so that the tool and its in-process tests share it
// without a library of its own.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kMemorySize = 131072;
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr int kBlockCount = static_cast<int>(kMemorySize / kBlockSize);
inline constexpr std::size_t kFrameSize = 3 + kBlockSize + 1;  // command, N, N, data, check
inline constexpr std::size_t kHandshakeSize = 2;
inline constexpr std::size_t kAnswerSize = 3;

inline constexpr std::uint8_t kHandshakeByte = 0x33;
inline constexpr std::uint8_t kWriteBlock = 0x11;
inline constexpr std::uint8_t kAckStart = 0x55;
inline constexpr std::uint8_t kAckEnd = 0xAA;
// Echoed in place of the command byte when a frame is refused: any reply other
// than the acknowledgement is a refusal to the host, and an immediate one keeps
// its retries fast.
inline constexpr std::uint8_t kRefusal = 0xEE;

enum class HandshakeMode { kOk, kSilent, kShort, kReversed, kDoubled };

struct SimOptions {
  HandshakeMode handshake = HandshakeMode::kOk;
  // Block number -> how many of its first intact frames are refused.
  std::map<int, int> refuse;
  // The first intact frame of this block is answered this late.
  std::optional<int> late_ack_block;
  std::chrono::milliseconds late_ack_delay{5200};
  // After the acknowledgement of this block has gone out the line drops.
  std::optional<int> drop_after;
  // A pause between bytes longer than this abandons a partial request.
  std::chrono::milliseconds gap{50};
  // 0: answer at once; otherwise answers are paced as on a line of this rate.
  long baud = 0;
};

struct Answer {
  TimePoint due;
  Bytes bytes;
  // The line drops once these bytes have reached the host.
  bool then_drop = false;
};

// A fixed pseudo-random byte sequence for line noise. It never holds 0x55, so
// no part of it can be taken for an acknowledgement.
class NoiseSource {
 public:
  Bytes Next(std::size_t count) {
    Bytes out;
    out.reserve(count);
    while (out.size() < count) {
      state_ = state_ * 1103515245u + 12345u;
      const auto b = static_cast<std::uint8_t>(state_ >> 16);
      if (b != kAckStart) out.push_back(b);
    }
    return out;
  }

 private:
  std::uint32_t state_ = 0x2545F491u;
};

class BootloaderSim {
 public:
  explicit BootloaderSim(SimOptions options) : options_(std::move(options)) { memory_.fill(0); }

  // Bytes that arrived from the host at `now`.
  void Receive(std::span<const std::uint8_t> bytes, TimePoint now) {
    if (bytes.empty()) return;
    if (!on_fixture_) return;  // nothing is there to hear them
    Advance(now);
    last_byte_ = now;
    for (const std::uint8_t b : bytes) {
      if (dropped_) return;  // an unplugged device hears nothing
      Take(b, now);
    }
  }

  // A fixture on a production bench: the board is taken off (the line goes
  // silent: a partial request and the answers not yet sent go with it) and
  // later a new one is put on, with an empty memory and its own attempts.
  void TakeOff() {
    if (!on_fixture_) return;
    FlushIgnored();
    on_fixture_ = false;
    state_ = State::kIdle;
    frame_.clear();
    last_byte_.reset();
    answers_.clear();
    last_due_.reset();
    Event("BOARD " + std::to_string(board_) + " OFF");
  }
  void PutOn() {
    if (on_fixture_) return;
    on_fixture_ = true;
    ++board_;
    memory_.fill(0);
    attempts_.clear();
    memory_changed_ = false;
    Event("BOARD " + std::to_string(board_) + " ON");
  }
  // The board on the fixture, or the last one taken off; the first is 1.
  int Board() const { return board_; }
  bool OnFixture() const { return on_fixture_; }

  // Lets time pass: a partial request or a run of ignored bytes followed by
  // a long enough pause is closed.
  void Advance(TimePoint now) {
    if (!last_byte_ || now - *last_byte_ <= options_.gap) return;
    if (state_ != State::kIdle) {
      const std::size_t dropped = state_ == State::kHandshake ? 1 : frame_.size();
      Event("RESYNC " + std::to_string(dropped));
      state_ = State::kIdle;
      frame_.clear();
    }
    FlushIgnored();
    last_byte_.reset();
  }

  // The earliest time at which Advance or TakeDueAnswers has work to do.
  std::optional<TimePoint> NextDeadline() const {
    std::optional<TimePoint> next;
    if (!answers_.empty()) next = answers_.front().due;
    if (last_byte_ && (state_ != State::kIdle || ignored_ > 0)) {
      // One tick past the gap, since only a longer pause counts.
      const TimePoint gap_end = *last_byte_ + options_.gap + Clock::duration(1);
      next = next ? std::min(*next, gap_end) : gap_end;
    }
    return next;
  }

  // The answers due at `now`, in order, taken off the queue.
  std::vector<Answer> TakeDueAnswers(TimePoint now) {
    std::vector<Answer> due;
    while (!answers_.empty() && answers_.front().due <= now) {
      due.push_back(std::move(answers_.front()));
      answers_.pop_front();
    }
    return due;
  }

  bool HasPendingAnswers() const { return !answers_.empty(); }

  // Event lines since the last call, oldest first.
  std::vector<std::string> TakeEvents() {
    std::vector<std::string> out;
    out.swap(events_);
    return out;
  }

  // Closes an open run of ignored bytes (at exit).
  void Finish() { FlushIgnored(); }

  // True once after each accepted block.
  bool TakeMemoryChanged() { return std::exchange(memory_changed_, false); }

  const std::array<std::uint8_t, kMemorySize>& Memory() const { return memory_; }

 private:
  enum class State { kIdle, kHandshake, kFrame };

  void Take(std::uint8_t b, TimePoint now) {
    switch (state_) {
      case State::kIdle:
        if (b == kHandshakeByte) {
          state_ = State::kHandshake;
          request_start_ = now;
        } else if (b == kWriteBlock) {
          FlushIgnored();
          state_ = State::kFrame;
          request_start_ = now;
          frame_.assign(1, b);
        } else {
          ++ignored_;
        }
        return;
      case State::kHandshake:
        state_ = State::kIdle;
        if (b == kHandshakeByte) {
          FlushIgnored();
          Handshake();
        } else {
          // A lone handshake byte starts nothing; the byte after it may.
          ++ignored_;
          Take(b, now);
        }
        return;
      case State::kFrame:
        frame_.push_back(b);
        if (frame_.size() == kFrameSize) {
          state_ = State::kIdle;
          Frame();
          frame_.clear();
        }
        return;
    }
  }

  void Handshake() {
    Event("HANDSHAKE");
    const TimePoint due = Paced(kHandshakeSize);
    switch (options_.handshake) {
      case HandshakeMode::kOk:
        Queue(due, {kAckStart, kHandshakeByte, kAckEnd});
        break;
      case HandshakeMode::kSilent:
        break;
      case HandshakeMode::kShort:
        Queue(due, {kAckStart, kHandshakeByte});
        break;
      case HandshakeMode::kReversed:
        Queue(due, {kAckEnd, kHandshakeByte, kAckStart});
        break;
      case HandshakeMode::kDoubled:
        Queue(due, {kAckStart, kHandshakeByte, kAckEnd, kAckStart, kHandshakeByte, kAckEnd});
        break;
    }
  }

  void Frame() {
    const int n = frame_[1];
    const std::string name = "BLOCK " + std::to_string(n);
    TimePoint due = Paced(kFrameSize);
    if (frame_[2] != frame_[1] || n >= kBlockCount) {
      Event(name + " BADNUM");
      Queue(due, Refusal());
      return;
    }
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < kFrameSize; ++i) x ^= frame_[i];
    if (x != frame_.back()) {
      Event(name + " BADXOR");
      Queue(due, Refusal());
      return;
    }
    const int attempt = ++attempts_[n];
    if (attempt == 1 && options_.late_ack_block == n) due += options_.late_ack_delay;
    if (const auto it = options_.refuse.find(n);
        it != options_.refuse.end() && attempt <= it->second) {
      Event(name + " REFUSED");
      Queue(due, Refusal());
      return;
    }
    std::copy(frame_.begin() + 3, frame_.begin() + 3 + kBlockSize,
              memory_.begin() + static_cast<std::ptrdiff_t>(n * kBlockSize));
    memory_changed_ = true;
    Event(name + " OK");
    const bool drop = options_.drop_after == n;
    Queue(due, {kAckStart, kWriteBlock, kAckEnd}, drop);
    if (drop) dropped_ = true;
  }

  static Bytes Refusal() { return {kAckStart, kRefusal, kAckEnd}; }

  // When the answer to a request of `size` bytes may leave: at once, or when
  // request and answer would have crossed a line of the given rate.
  TimePoint Paced(std::size_t size) const {
    if (options_.baud <= 0) return request_start_;
    const auto bits = static_cast<long long>((size + kAnswerSize) * 10);
    return request_start_ + std::chrono::microseconds(bits * 1'000'000 / options_.baud);
  }

  // Answers leave in the order of their requests: a late one holds back the
  // ones behind it, as a device busy with one request does.
  void Queue(TimePoint due, Bytes bytes, bool then_drop = false) {
    if (last_due_) due = std::max(due, *last_due_);
    last_due_ = due;
    answers_.push_back(Answer{due, std::move(bytes), then_drop});
  }

  void FlushIgnored() {
    if (ignored_ == 0) return;
    Event("IGNORED " + std::to_string(ignored_));
    ignored_ = 0;
  }

  void Event(std::string line) { events_.push_back(std::move(line)); }

  SimOptions options_;
  std::array<std::uint8_t, kMemorySize> memory_{};
  State state_ = State::kIdle;
  Bytes frame_;
  TimePoint request_start_{};
  std::optional<TimePoint> last_byte_;
  std::size_t ignored_ = 0;
  std::map<int, int> attempts_;
  std::deque<Answer> answers_;
  std::optional<TimePoint> last_due_;
  std::vector<std::string> events_;
  bool memory_changed_ = false;
  bool dropped_ = false;
  bool on_fixture_ = true;
  int board_ = 1;
};

}  // namespace sim
