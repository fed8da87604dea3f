// The overlapped requests of one open line (RequestTable.h).
#include "serial/device/posix/RequestTable.h"

#include <algorithm>
#include <utility>

namespace serial::posix {

void RequestTable::Begin(TOverlapped* ov) {
  if (ov->hEvent != kNoEvent) platform_event::Reset(ov->hEvent);
  ov->StoreTransferred(0);
  ov->StoreStatus(kStatusPending);
}

void RequestTable::Complete(TOverlapped* ov, std::uintptr_t transferred, std::uint32_t status) {
  ov->StoreTransferred(transferred);
  ov->StoreStatus(status);
  if (ov->hEvent != kNoEvent) platform_event::Signal(ov->hEvent);
  ended_.notify_all();
}

void RequestTable::CompleteAtOnce(TOverlapped* ov, std::uintptr_t transferred) {
  Begin(ov);
  Complete(ov, transferred, 0);
}

bool RequestTable::IsOutstanding(const TOverlapped* ov) const {
  if (wait_ov_ == ov) return true;
  return std::any_of(writes_.begin(), writes_.end(), [ov](const Write& w) { return w.ov == ov; });
}

void RequestTable::BeginWait(TOverlapped* ov, std::uint32_t* mask) {
  Begin(ov);
  wait_ov_ = ov;
  wait_mask_ = mask;
}

void RequestTable::CompleteWait(std::uint32_t events, std::uint32_t status) {
  TOverlapped* ov = std::exchange(wait_ov_, nullptr);
  *std::exchange(wait_mask_, nullptr) = events;
  Complete(ov, 0, status);
}

void RequestTable::BeginWrite(TOverlapped* ov, const std::uint8_t* data, std::uint32_t count,
                              std::uint32_t done) {
  writes_.push_back(Write{ov, data, count, done});
  Begin(ov);
}

void RequestTable::EndFrontWrite(std::uint32_t status) {
  const Write w = writes_.front();
  writes_.pop_front();
  Complete(w.ov, w.done, status);
}

std::uint64_t RequestTable::Unwritten() const {
  std::uint64_t n = 0;
  for (const Write& w : writes_) n += w.count - w.done;
  return n;
}

void RequestTable::Cancel(TOverlapped* ov) {
  if (wait_ov_ == ov) CompleteWait(0, kErrorOperationAborted);
  const auto it =
      std::find_if(writes_.begin(), writes_.end(), [ov](const Write& w) { return w.ov == ov; });
  if (it == writes_.end()) return;
  const Write w = *it;
  writes_.erase(it);
  Complete(w.ov, w.done, kErrorOperationAborted);
}

void RequestTable::AbortWrites(std::uint32_t status) {
  while (!writes_.empty()) EndFrontWrite(status);
}

void RequestTable::AbortAll(std::uint32_t status) {
  AbortWrites(status);
  if (wait_ov_ != nullptr) CompleteWait(0, status);
}

std::uint32_t RequestTable::Result(const TOverlapped* ov, std::uint32_t* transferred) {
  const std::uintptr_t status = ov->LoadStatus();
  if (status == kStatusPending) return kErrorIoIncomplete;
  if (transferred != nullptr) *transferred = static_cast<std::uint32_t>(ov->LoadTransferred());
  return static_cast<std::uint32_t>(status);
}

void RequestTable::WaitEnded(std::unique_lock<std::mutex>& lock, const TOverlapped* ov) {
  ended_.wait(lock, [&] { return ov->LoadStatus() != kStatusPending || !IsOutstanding(ov); });
}

}  // namespace serial::posix
