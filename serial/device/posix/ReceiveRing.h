// The receive queue of one open port: bytes received and not yet read,
// oldest first, in a ring of fixed capacity. Its storage is allocated by the
// caller's thread (open, SetupComm), never by the I/O thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace serial::posix {

class ReceiveRing {
 public:
  std::size_t Size() const { return size_; }
  std::size_t Limit() const { return limit_; }

  // Bytes beyond the limit are refused; queued bytes are never dropped here.
  // Throws std::bad_alloc.
  void SetLimit(std::size_t limit);

  // Returns how many bytes were taken.
  std::size_t Push(const std::uint8_t* data, std::size_t n);

  // Copies out and removes up to n bytes; returns how many.
  std::size_t Pop(std::uint8_t* out, std::size_t n);

  void Clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  std::vector<std::uint8_t> storage_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t limit_ = 0;
};

}  // namespace serial::posix
