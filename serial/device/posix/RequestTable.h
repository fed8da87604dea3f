// The overlapped requests of one open line: the event wait and the writes
// in order, each begun, completed, cancelled or aborted the way the
// platform's requests are (SerialApi.h): the record's event is reset when a
// request starts, status and count are stored with release semantics when it
// ends, then its event is signalled. Nothing here touches a device.
//
// The table has no lock of its own: its owner's lock guards it, and the lock
// WaitEnded lets go of while it sleeps is that lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "serial/device/SerialApi.h"

namespace serial::posix {

class RequestTable {
 public:
  // A write the device has not taken whole yet: done of count bytes are out.
  struct Write {
    TOverlapped* ov;
    const std::uint8_t* data;
    std::uint32_t count;
    std::uint32_t done;
  };

  // A request starts: its event is reset and it reads pending.
  static void Begin(TOverlapped* ov);

  // A request ends. Called under the owner's lock, so a caller that cancels
  // or closes knows the record is no longer touched once it holds it again.
  void Complete(TOverlapped* ov, std::uintptr_t transferred, std::uint32_t status);

  // A request that ends as it starts.
  void CompleteAtOnce(TOverlapped* ov, std::uintptr_t transferred);

  bool IsOutstanding(const TOverlapped* ov) const;

  // The one event wait; events are stored through mask when it ends.
  bool Waiting() const { return wait_ov_ != nullptr; }
  void BeginWait(TOverlapped* ov, std::uint32_t* mask);
  void CompleteWait(std::uint32_t events, std::uint32_t status);

  // A write that goes on after done bytes; may throw std::bad_alloc, in
  // which case the request has not started.
  void BeginWrite(TOverlapped* ov, const std::uint8_t* data, std::uint32_t count,
                  std::uint32_t done);
  bool HasWrites() const { return !writes_.empty(); }
  Write& FrontWrite() { return writes_.front(); }
  // The oldest write ends with what it has written.
  void EndFrontWrite(std::uint32_t status);
  // Bytes the writes still have to hand to the device.
  std::uint64_t Unwritten() const;

  // Ends ov's request, if it is one of these, with kErrorOperationAborted.
  void Cancel(TOverlapped* ov);
  void AbortWrites(std::uint32_t status);
  void AbortAll(std::uint32_t status);

  // A request's result: 0 when it succeeded, kErrorIoIncomplete while it is
  // pending, else its error; transferred (when given) gets its count.
  static std::uint32_t Result(const TOverlapped* ov, std::uint32_t* transferred);

  // Sleeps, with lock let go meanwhile, until ov has ended or is no longer
  // one of these requests.
  void WaitEnded(std::unique_lock<std::mutex>& lock, const TOverlapped* ov);

 private:
  std::condition_variable ended_;
  TOverlapped* wait_ov_ = nullptr;
  std::uint32_t* wait_mask_ = nullptr;
  std::deque<Write> writes_;
};

}  // namespace serial::posix
