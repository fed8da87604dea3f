// One clock for the whole program: the millisecond tick count (it wraps
// after about 49.7 days, as the platform's does) and monotonic readings for
// deadlines, which a change of the wall clock neither shortens nor stretches.
#pragma once

#include <cstdint>
#include <functional>

namespace framework {

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCount();

// Monotonic microseconds since an arbitrary start; never wraps in practice.
std::int64_t MonotonicMicroseconds();

// A source of tick counts, replaceable in tests to exercise the wrap.
using TickSource = std::function<std::uint32_t()>;

}  // namespace framework
