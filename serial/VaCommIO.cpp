// The data path of the port: direct and buffered writes, reads, status.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "serial/VaComm.h"

namespace serial {

std::int32_t TVaCustomComm::AwaitRequest(TOverlapped& ov, std::uint32_t timeoutMs) {
  std::int32_t result = 0;
  // A request that ended at once needs no wait on its event: its status is
  // final (a wait costs a call into the system, under Wine a round trip to
  // its server, and the reply's three reads come one after another).
  if (ov.LoadStatus() != kStatusPending ||
      wait_event_->WaitFor(timeoutMs) == TWaitResult::Signaled) {
    std::uint32_t n = 0;
    if (api_->GetOverlappedResult(Handle, &ov, &n, false)) result = static_cast<std::int32_t>(n);
  }
  // The record and the data stay with the device until the request has ended.
  if (ov.LoadStatus() == kStatusPending) api_->CancelIoEx(Handle, &ov);
  return result;
}

std::int32_t TVaCustomComm::WriteBytes(const void* data, std::int32_t count) {
  // A negative count names no bytes: nothing is read from the caller.
  if (!IsOpen() || count < 0) return 0;
  if (direct_write_) {
    std::lock_guard lock(WriteLock);
    TOverlapped ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = wait_event_->Handle();
    std::uint32_t written = 0;
    if (!api_->WriteFile(Handle, data, static_cast<std::uint32_t>(count), &written, &ov) &&
        api_->GetLastError() != kErrorIoPending)
      RaiseLastCommError("Write error (%d), %s");
    return AwaitRequest(ov, static_cast<std::uint32_t>(buffers_->WriteTimeout()));
  }
  if (write_thread_->Write(data, count)) return count;
  RaiseLastCommError("Output buffer is full. Please check comm status.");
}

bool TVaCustomComm::WriteByte(std::uint8_t b) {
  return WriteBytes(&b, 1) == 1;
}

std::int32_t TVaCustomComm::ReadBytes(void* buffer, std::int32_t count) {
  // A negative count names no room: nothing is written to the caller.
  if (!IsOpen() || count < 0) return 0;
  std::lock_guard lock(PortLock);
  TOverlapped ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = wait_event_->Handle();
  std::uint32_t read = 0;
  if (!api_->ReadFile(Handle, buffer, static_cast<std::uint32_t>(count), &read, &ov) &&
      api_->GetLastError() != kErrorIoPending)
    RaiseLastCommError("Read error (%d), %s");
  return AwaitRequest(ov, static_cast<std::uint32_t>(buffers_->ReadTimeout()));
}

bool TVaCustomComm::ReadByte(std::uint8_t& b) {
  std::uint8_t v = 0;
  if (ReadBytes(&v, 1) != 1) return false;
  b = v;
  return true;
}

void TVaCustomComm::ReadStatus(TVaCommStatus& status) {
  std::lock_guard lock(PortLock);
  status = TVaCommStatus{};
  if (!IsOpen()) return;
  TComStat stat{};
  const bool ok = api_->ClearCommError(Handle, &status.Errors, &stat);
  status.Flags = stat.Flags;
  status.InQueue = stat.cbInQue;
  status.OutQueue = stat.cbOutQue;
  CheckCommResult(ok, "Error retrieving statistics (%d), %s");
}

std::int32_t TVaCustomComm::InQueueCount() {
  if (!IsOpen()) return 0;
  TVaCommStatus status;
  ReadStatus(status);
  return static_cast<std::int32_t>(status.InQueue);
}

void TVaCustomComm::WaitForInQueue(std::int32_t count, std::int64_t timeoutUs) {
  if (timeoutUs <= 0) return;
  if (!IsOpen()) {
    std::this_thread::sleep_for(std::chrono::microseconds(std::min<std::int64_t>(timeoutUs, 1000)));
    return;
  }
  // No lock: the wait only watches the count, and holding PortLock for up to
  // the whole time-out would stall every other status read.
  const bool ok =
      api_->WaitForReceived(Handle, static_cast<std::uint32_t>(std::max(count, 0)), timeoutUs);
  CheckCommResult(ok, "Error retrieving statistics (%d), %s");
}

// ---------------------------------------------------------------------------
// The write buffer

TVaCommBuffer::TVaCommBuffer(std::int32_t capacity)
    : data_(std::make_unique_for_overwrite<std::uint8_t[]>(
          static_cast<std::size_t>(capacity > 0 ? capacity : 0))) {}

void TVaCommBuffer::Append(const void* source, std::int32_t n) {
  const std::int32_t count = count_.load(std::memory_order_relaxed);
  if (n > 0) std::memcpy(data_.get() + count, source, static_cast<std::size_t>(n));
  count_.store(count + n, std::memory_order_release);
}

void TVaCommBuffer::Remove(std::int32_t n) {
  const std::int32_t count = count_.load(std::memory_order_relaxed);
  if (n <= 0) return;
  if (n >= count) {
    count_.store(0, std::memory_order_release);
    return;
  }
  std::memmove(data_.get(), data_.get() + n, static_cast<std::size_t>(count - n));
  count_.store(count - n, std::memory_order_release);
}

void TVaCommBuffer::Clear() {
  count_.store(0, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// The writer thread

namespace {
// Pause between retries of a write that failed at once (a hung-up line), so
// the writer and the main thread do not spin; a stop or a flush ends it early.
constexpr std::uint32_t kRetryPauseMs = 100;

// Whether more than length ms have passed from start to now, across a wrap
// of the tick count.
bool DeadlinePassed(std::uint32_t start, std::uint32_t now, std::uint32_t length) {
  const std::uint32_t elapsed = now >= start ? now - start : (0xFFFFFFFFu - start) + now;
  return elapsed > length;
}
}  // namespace

TVaCommWriteThread::TVaCommWriteThread(TVaCustomComm* owner)
    : Owner(owner),
      capacity_(owner->Buffers().WriteSize()),
      Buffer(owner->Buffers().WriteSize()),
      staging_(std::make_unique_for_overwrite<std::uint8_t[]>(
          static_cast<std::size_t>(capacity_ > 0 ? capacity_ : 0))) {}

TVaCommWriteThread::~TVaCommWriteThread() {
  // Owners stop and wait first; this keeps a forgotten thread from outliving us.
  Stop();
  WaitFor();
}

bool TVaCommWriteThread::Write(const void* data, std::int32_t n) {
  if (n < 0) return false;
  const auto fits = [&] { return std::int64_t{Buffer.Count()} + n <= capacity_; };
  if (!fits()) {
    const std::uint32_t start = Owner->Ticks();
    const auto length = static_cast<std::uint32_t>(Owner->Buffers().WriteTimeout());
    // Spins on purpose: room comes as the writer thread hands bytes to the
    // device, and the caller expects to go on the moment it does.
    for (;;) {
      if (DeadlinePassed(start, Owner->Ticks(), length)) return false;
      if (fits()) break;
    }
  }
  std::lock_guard lock(Owner->WriteLock);
  // Bytes in the buffer keep the event signalled (it is reset only under
  // this lock, once the buffer is empty): only the first of a request's
  // pieces needs to signal it, each signal being a call into the system.
  const bool wasEmpty = Buffer.Count() == 0;
  Buffer.Append(data, n);
  if (wasEmpty) DataEvent.Signal();
  return true;
}

void TVaCommWriteThread::ClearBuffer() {
  FlushEvent.Signal();
  // The acknowledgement is never taken back: once it is in, the event need
  // not be asked again (each wait is a call into the system).
  if (!flush_acknowledged_.load(std::memory_order_acquire) &&
      FlushDoneEvent.WaitFor(2000) != TWaitResult::Signaled)
    return;
  std::lock_guard send(send_mutex_);
  std::lock_guard lock(Owner->WriteLock);
  Buffer.Clear();
  ++generation_;
}

void TVaCommWriteThread::EndOutstandingWrite() {
  if (!write_outstanding_) return;
  // A driver that never ends it keeps the record and the bytes: see Abandoned.
  if (!Owner->Api().CancelIoEx(Owner->Handle, &overlapped_)) abandoned_ = true;
  write_outstanding_ = false;
  ForgetSent();
}

void TVaCommWriteThread::ForgetSent() {
  // What the line took of a request that ended early leaves the buffer too:
  // a pass that comes before the clear must not send it a second time.
  const auto sent = static_cast<std::int32_t>(overlapped_.LoadTransferred());
  if (sent <= 0) return;
  std::lock_guard lock(Owner->WriteLock);
  if (outstanding_generation_ == generation_) Buffer.Remove(std::min(sent, Buffer.Count()));
}

void TVaCommWriteThread::AcknowledgeFlush() {
  // The abandoned write is ended first, so nothing of it reaches the line
  // after the flush and its record is free for the next request.
  EndOutstandingWrite();
  FlushEvent.Reset();
  FlushDoneEvent.Signal();
  flush_acknowledged_.store(true, std::memory_order_release);
}

void TVaCommWriteThread::Execute() {
  SerialApi& api = Owner->Api();
  while (!Terminated()) {
    const int idle = WaitForAny({&StopEvent, &FlushEvent, &DataEvent}, kInfinite);
    if (idle == 0) {
      Terminate();
      break;
    }
    if (idle == 1) {
      AcknowledgeFlush();
      continue;
    }
    if (idle != 2) continue;

    std::int32_t n = 0;
    std::uint64_t generation = 0;
    std::uint32_t written = 0;
    bool completed = false;
    std::uint32_t error = 0;
    {
      // A clear waits until the request is with the device, so the purge
      // that follows it discards the request whole or not at all.
      std::lock_guard send(send_mutex_);
      {
        std::lock_guard lock(Owner->WriteLock);
        n = Buffer.Count();
        generation = generation_;
        if (n > 0) std::memcpy(staging_.get(), Buffer.Data(), static_cast<std::size_t>(n));
      }
      std::memset(&overlapped_, 0, sizeof overlapped_);
      overlapped_.hEvent = WriteDoneEvent.Handle();
      completed = api.WriteFile(Owner->Handle, staging_.get(), static_cast<std::uint32_t>(n),
                                &written, &overlapped_);
      if (!completed) error = api.GetLastError();
    }
    if (completed) {
      WriteCompleted(static_cast<std::int32_t>(written), generation);
    } else if (error == kErrorIoPending) {
      write_outstanding_ = true;
      outstanding_generation_ = generation;
      const int busy = WaitForAny({&StopEvent, &FlushEvent, &WriteDoneEvent}, kInfinite);
      if (busy == 0) {
        Terminate();
      } else if (busy == 1) {
        AcknowledgeFlush();
      } else if (busy == 2) {
        write_outstanding_ = false;
        std::uint32_t done = 0;
        if (api.GetOverlappedResult(Owner->Handle, &overlapped_, &done, true))
          WriteCompleted(static_cast<std::int32_t>(done), generation);
        else
          ForgetSent();  // the rest is written again
      }
    } else {
      NotifyError();
      WaitForAny({&StopEvent, &FlushEvent}, kRetryPauseMs);
    }
  }
  EndOutstandingWrite();
}

void TVaCommWriteThread::WriteCompleted(std::int32_t written, std::uint64_t generation) {
  bool empty = false;
  {
    std::lock_guard lock(Owner->WriteLock);
    // A completion from before a clear must not take bytes appended after it.
    if (generation == generation_) Buffer.Remove(std::min(written, Buffer.Count()));
    if (Buffer.Count() <= 0) {
      DataEvent.Reset();
      empty = true;
    } else {
      DataEvent.Signal();
    }
  }
  if (empty) NotifyTxEmpty();
}

void TVaCommWriteThread::NotifyTxEmpty() {
  // Without a handler the notice has no effect, and handing it over would
  // hold the writer until the main thread next processes messages.
  if (!Owner->HasTxEmptyHandler()) return;
  if (SyncDispatch)
    Synchronize([this] { Owner->DoEvents(kEvTxEmpty); });
  else
    Owner->DoEvents(kEvTxEmpty);
}

void TVaCommWriteThread::NotifyError() {
  if (SyncDispatch)
    Synchronize([this] { Owner->DoEvents(kEvErr); });
  else
    Owner->DoEvents(kEvErr);
}

}  // namespace serial
