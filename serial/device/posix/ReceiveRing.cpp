#include "serial/device/posix/ReceiveRing.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace serial::posix {

void ReceiveRing::SetLimit(std::size_t limit) {
  std::vector<std::uint8_t> storage(std::max(limit, size_));
  const std::size_t kept = size_;
  Pop(storage.data(), kept);
  storage_ = std::move(storage);
  head_ = 0;
  size_ = kept;
  limit_ = limit;
}

std::size_t ReceiveRing::Push(const std::uint8_t* data, std::size_t n) {
  const std::size_t room = size_ < limit_ ? limit_ - size_ : 0;
  const std::size_t take = std::min(n, room);
  for (std::size_t done = 0; done < take;) {
    const std::size_t tail = (head_ + size_) % storage_.size();
    const std::size_t chunk = std::min(take - done, storage_.size() - tail);
    std::memcpy(storage_.data() + tail, data + done, chunk);
    size_ += chunk;
    done += chunk;
  }
  return take;
}

std::size_t ReceiveRing::Pop(std::uint8_t* out, std::size_t n) {
  const std::size_t take = std::min(n, size_);
  for (std::size_t done = 0; done < take;) {
    const std::size_t chunk = std::min(take - done, storage_.size() - head_);
    std::memcpy(out + done, storage_.data() + head_, chunk);
    head_ = (head_ + chunk) % storage_.size();
    size_ -= chunk;
    done += chunk;
  }
  if (size_ == 0) head_ = 0;
  return take;
}

}  // namespace serial::posix
