// One clock for the whole program: the millisecond tick count (it wraps
// after about 49.7 days, as the platform's does) and monotonic readings for
// deadlines, which a change of the wall clock neither shortens nor stretches.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace framework {

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCount();

// Monotonic microseconds since an arbitrary start; never wraps in practice.
std::int64_t MonotonicMicroseconds();

// A point on the monotonic clock some time from now.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds length)
      : end_us_(MonotonicMicroseconds() + length.count() * 1000) {}
  bool Passed() const { return MonotonicMicroseconds() >= end_us_; }
  // Whole milliseconds left, rounded up; 0 once passed.
  std::int64_t RemainingMs() const {
    const std::int64_t left = end_us_ - MonotonicMicroseconds();
    return left > 0 ? (left + 999) / 1000 : 0;
  }

 private:
  std::int64_t end_us_;
};

// A source of tick counts, replaceable in tests to exercise the wrap.
using TickSource = std::function<std::uint32_t()>;

}  // namespace framework
