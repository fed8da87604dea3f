#include "tests/support/FakeSerialApi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace serial {

namespace {
thread_local std::uint32_t last_error = 0;

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string DcbText(const TDCB& d) {
  auto ch = [](char c) { return Hex(static_cast<std::uint8_t>(c)); };
  return "BaudRate=" + std::to_string(d.BaudRate) + " ByteSize=" + std::to_string(d.ByteSize) +
         " Parity=" + std::to_string(d.Parity) + " StopBits=" + std::to_string(d.StopBits) +
         " Flags=" + Hex(d.Flags) + " XonLim=" + std::to_string(d.XonLim) +
         " XoffLim=" + std::to_string(d.XoffLim) + " XonChar=" + ch(d.XonChar) +
         " XoffChar=" + ch(d.XoffChar) + " ErrorChar=" + ch(d.ErrorChar) +
         " EofChar=" + ch(d.EofChar) + " EvtChar=" + ch(d.EvtChar);
}
}  // namespace

FakeSerialApi::FakeSerialApi() = default;
FakeSerialApi::~FakeSerialApi() = default;

void FakeSerialApi::FailNext(const std::string& call, std::uint32_t error, int times) {
  std::lock_guard lock(m_);
  for (int i = 0; i < times; ++i) fail_next_[call].push_back(error);
}

void FakeSerialApi::FailAlways(const std::string& call, std::uint32_t error) {
  std::lock_guard lock(m_);
  if (error == 0)
    fail_always_.erase(call);
  else
    fail_always_[call] = error;
}

void FakeSerialApi::SetPlatform(std::uint32_t platformId) {
  std::lock_guard lock(m_);
  platform_ = platformId;
}

void FakeSerialApi::SetWriteMode(WriteMode mode, std::uint32_t partialLimit) {
  std::lock_guard lock(m_);
  write_mode_ = mode;
  partial_limit_ = partialLimit;
}

void FakeSerialApi::SetReadsPending(bool pending) {
  std::lock_guard lock(m_);
  reads_pending_ = pending;
}

void FakeSerialApi::SetSignalsAtOnce(bool signal) {
  std::lock_guard lock(m_);
  signals_at_once_ = signal;
}

void FakeSerialApi::Receive(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(m_);
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

void FakeSerialApi::RaiseErrors(std::uint32_t flags) {
  std::lock_guard lock(m_);
  errors_ |= flags;
}

void FakeSerialApi::RaiseEvents(std::uint32_t mask) {
  std::lock_guard lock(m_);
  if (wait_ov_ != nullptr) {
    *wait_mask_ = mask;
    Finish(wait_ov_, 0, 0);
    wait_ov_ = nullptr;
    wait_mask_ = nullptr;
  } else {
    events_ |= mask;
  }
}

bool FakeSerialApi::CompleteWaitUnsignalled(std::uint32_t mask) {
  std::lock_guard lock(m_);
  if (wait_ov_ == nullptr) return false;
  *wait_mask_ = mask;
  wait_ov_->StoreTransferred(0);
  wait_ov_->StoreStatus(0);
  wait_ov_ = nullptr;
  wait_mask_ = nullptr;
  return true;
}

bool FakeSerialApi::FailWait(std::uint32_t error) {
  std::lock_guard lock(m_);
  if (wait_ov_ == nullptr) return false;
  Finish(wait_ov_, error, 0);
  wait_ov_ = nullptr;
  wait_mask_ = nullptr;
  return true;
}

void FakeSerialApi::FailWaitsSignalled(std::uint32_t error) {
  std::lock_guard lock(m_);
  fail_waits_signalled_ = error;
}

bool FakeSerialApi::CompleteWrite(std::uint32_t transferred, std::uint32_t error) {
  std::lock_guard lock(m_);
  if (write_.ov == nullptr) return false;
  const std::uint32_t n = std::min(transferred, write_.count);
  if (error == 0) {
    written_.insert(written_.end(), write_.data, write_.data + n);
    Respond(write_.data, n);
  }
  Finish(write_.ov, error, error == 0 ? n : 0);
  write_ = PendingWrite{};
  return true;
}

void FakeSerialApi::SetResponder(Responder responder) {
  std::lock_guard lock(m_);
  responder_ = std::move(responder);
}

// Called with m_ held.
void FakeSerialApi::Respond(const std::uint8_t* data, std::uint32_t n) {
  if (!responder_ || n == 0) return;
  const auto answer = responder_(std::vector<std::uint8_t>(data, data + n));
  rx_.insert(rx_.end(), answer.begin(), answer.end());
}

void FakeSerialApi::SetWaitingResultHook(std::function<void()> hook) {
  std::lock_guard lock(m_);
  waiting_result_hook_ = std::move(hook);
}

bool FakeSerialApi::WriteOutstanding() {
  std::lock_guard lock(m_);
  return write_.ov != nullptr;
}

bool FakeSerialApi::WaitOutstanding() {
  std::lock_guard lock(m_);
  return wait_ov_ != nullptr;
}

std::vector<std::string> FakeSerialApi::Calls() {
  std::lock_guard lock(m_);
  return calls_;
}

std::vector<std::string> FakeSerialApi::CallsNamed(std::initializer_list<std::string> names) {
  std::lock_guard lock(m_);
  std::vector<std::string> out;
  for (const auto& c : calls_) {
    const std::string name = c.substr(0, c.find('('));
    if (std::find(names.begin(), names.end(), name) != names.end()) out.push_back(c);
  }
  return out;
}

void FakeSerialApi::ClearCalls() {
  std::lock_guard lock(m_);
  calls_.clear();
}

TDCB FakeSerialApi::LastDcb() {
  std::lock_guard lock(m_);
  return dcb_;
}

std::vector<std::uint8_t> FakeSerialApi::Written() {
  std::lock_guard lock(m_);
  return written_;
}

bool FakeSerialApi::IsOpen(THandle h) {
  std::lock_guard lock(m_);
  return std::find(open_.begin(), open_.end(), h) != open_.end();
}

// Called with m_ held.
bool FakeSerialApi::Enter(const std::string& name, const std::string& args) {
  calls_.push_back(name + "(" + args + ")");
  if (auto it = fail_next_.find(name); it != fail_next_.end() && !it->second.empty()) {
    const std::uint32_t error = it->second.front();
    it->second.pop_front();
    return Fail(error);
  }
  if (auto it = fail_always_.find(name); it != fail_always_.end()) return Fail(it->second);
  return true;
}

bool FakeSerialApi::Fail(std::uint32_t error) {
  last_error = error;
  return false;
}

void FakeSerialApi::Finish(TOverlapped* ov, std::uintptr_t status, std::uintptr_t transferred) {
  ov->StoreTransferred(transferred);
  ov->StoreStatus(status);
  platform_event::Signal(ov->hEvent);
}

void FakeSerialApi::FinishAtOnce(TOverlapped* ov, std::uintptr_t transferred) {
  ov->StoreTransferred(transferred);
  ov->StoreStatus(0);
  if (signals_at_once_) platform_event::Signal(ov->hEvent);
}

THandle FakeSerialApi::CreateFileA(const std::string& name, std::uint32_t access,
                                   std::uint32_t share, std::uint32_t creation,
                                   std::uint32_t flags) {
  std::lock_guard lock(m_);
  if (!Enter("CreateFileA", name + ", " + Hex(access) + ", " + std::to_string(share) + ", " +
                                std::to_string(creation) + ", " + Hex(flags)))
    return kInvalidHandle;
  const THandle h = next_handle_++;
  open_.push_back(h);
  return h;
}

bool FakeSerialApi::CloseHandle(THandle h) {
  std::lock_guard lock(m_);
  if (!Enter("CloseHandle", std::to_string(h))) return false;
  open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
  // Requests still outstanding end with the handle.
  if (wait_ov_) Finish(wait_ov_, kErrorOperationAborted, 0);
  if (write_.ov) Finish(write_.ov, kErrorOperationAborted, 0);
  for (TOverlapped* ov : pending_reads_) Finish(ov, kErrorOperationAborted, 0);
  wait_ov_ = nullptr;
  write_ = PendingWrite{};
  pending_reads_.clear();
  return true;
}

bool FakeSerialApi::GetCommState(THandle h, TDCB& dcb) {
  std::lock_guard lock(m_);
  if (!Enter("GetCommState", std::to_string(dcb.DCBlength))) return false;
  (void)h;
  dcb = dcb_;
  dcb.DCBlength = sizeof(TDCB);
  return true;
}

bool FakeSerialApi::SetCommState(THandle, const TDCB& dcb) {
  std::lock_guard lock(m_);
  if (!Enter("SetCommState", DcbText(dcb))) return false;
  dcb_ = dcb;
  return true;
}

bool FakeSerialApi::SetupComm(THandle, std::uint32_t inQueue, std::uint32_t outQueue) {
  std::lock_guard lock(m_);
  return Enter("SetupComm", std::to_string(inQueue) + ", " + std::to_string(outQueue));
}

bool FakeSerialApi::SetCommTimeouts(THandle, const TCommTimeouts& t) {
  std::lock_guard lock(m_);
  return Enter("SetCommTimeouts", Hex(t.ReadIntervalTimeout) + ", " +
                                      std::to_string(t.ReadTotalTimeoutMultiplier) + ", " +
                                      std::to_string(t.ReadTotalTimeoutConstant) + ", " +
                                      std::to_string(t.WriteTotalTimeoutMultiplier) + ", " +
                                      std::to_string(t.WriteTotalTimeoutConstant));
}

bool FakeSerialApi::SetCommMask(THandle, std::uint32_t mask) {
  std::lock_guard lock(m_);
  if (!Enter("SetCommMask", Hex(mask))) return false;
  mask_ = mask;
  return true;
}

bool FakeSerialApi::WaitCommEvent(THandle, std::uint32_t* mask, TOverlapped* ov) {
  std::lock_guard lock(m_);
  platform_event::Reset(ov->hEvent);
  if (!Enter("WaitCommEvent", "")) return false;
  if (fail_waits_signalled_ != 0) {
    platform_event::Signal(ov->hEvent);
    return Fail(fail_waits_signalled_);
  }
  if (events_ != 0) {
    *mask = events_;
    events_ = 0;
    FinishAtOnce(ov, 0);
    return true;
  }
  ov->StoreStatus(kStatusPending);
  wait_ov_ = ov;
  wait_mask_ = mask;
  return Fail(kErrorIoPending);
}

bool FakeSerialApi::ReadFile(THandle, void* buffer, std::uint32_t count, std::uint32_t* read,
                             TOverlapped* ov) {
  std::lock_guard lock(m_);
  platform_event::Reset(ov->hEvent);
  if (!Enter("ReadFile", std::to_string(count))) return false;
  if (reads_pending_) {
    ov->StoreStatus(kStatusPending);
    pending_reads_.push_back(ov);
    return Fail(kErrorIoPending);
  }
  const std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(rx_.size()));
  std::copy_n(rx_.begin(), n, static_cast<std::uint8_t*>(buffer));
  rx_.erase(rx_.begin(), rx_.begin() + n);
  *read = n;
  FinishAtOnce(ov, n);
  return true;
}

bool FakeSerialApi::WriteFile(THandle, const void* buffer, std::uint32_t count,
                              std::uint32_t* written, TOverlapped* ov) {
  std::lock_guard lock(m_);
  platform_event::Reset(ov->hEvent);
  if (!Enter("WriteFile", std::to_string(count))) return false;
  const auto* data = static_cast<const std::uint8_t*>(buffer);
  if (write_mode_ == WriteMode::Pending) {
    ov->StoreStatus(kStatusPending);
    write_ = PendingWrite{ov, data, count};
    return Fail(kErrorIoPending);
  }
  const std::uint32_t n =
      write_mode_ == WriteMode::Partial ? std::min(count, partial_limit_) : count;
  written_.insert(written_.end(), data, data + n);
  Respond(data, n);
  *written = n;
  FinishAtOnce(ov, n);
  return true;
}

bool FakeSerialApi::GetOverlappedResult(THandle, TOverlapped* ov, std::uint32_t* transferred,
                                        bool wait) {
  if (wait) {
    std::function<void()> hook;
    {
      std::lock_guard lock(m_);
      hook = waiting_result_hook_;
    }
    if (hook) hook();
    platform_event::Wait(ov->hEvent, kInfinite);
  }
  std::lock_guard lock(m_);
  const std::uintptr_t status = ov->LoadStatus();
  if (status == kStatusPending) return Fail(kErrorIoIncomplete);
  *transferred = static_cast<std::uint32_t>(ov->LoadTransferred());
  if (status != 0) return Fail(static_cast<std::uint32_t>(status));
  return true;
}

bool FakeSerialApi::CancelIoEx(THandle, TOverlapped* ov) {
  std::lock_guard lock(m_);
  // Recorded with the request it cancels, so a test can see the order of the
  // threads' ends.
  const bool isRead =
      std::find(pending_reads_.begin(), pending_reads_.end(), ov) != pending_reads_.end();
  const char* which = wait_ov_ == ov ? "wait" : write_.ov == ov ? "write" : isRead ? "read" : "";
  // Scripted to fail: a driver that never ends the cancelled request.
  if (!Enter("CancelIoEx", which)) return false;
  if (wait_ov_ == ov) {
    Finish(ov, kErrorOperationAborted, 0);
    wait_ov_ = nullptr;
  }
  if (write_.ov == ov) {
    Finish(ov, kErrorOperationAborted, 0);
    write_ = PendingWrite{};
  }
  auto it = std::find(pending_reads_.begin(), pending_reads_.end(), ov);
  if (it != pending_reads_.end()) {
    Finish(ov, kErrorOperationAborted, 0);
    pending_reads_.erase(it);
  }
  return true;
}

bool FakeSerialApi::ClearCommError(THandle, std::uint32_t* errors, TComStat* stat) {
  std::lock_guard lock(m_);
  if (!Enter("ClearCommError", "")) return false;
  *errors = errors_;
  errors_ = 0;
  stat->Flags = 0;
  stat->cbInQue = static_cast<std::uint32_t>(rx_.size());
  stat->cbOutQue = write_.ov ? write_.count : 0;
  return true;
}

bool FakeSerialApi::PurgeComm(THandle, std::uint32_t flags) {
  std::lock_guard lock(m_);
  if (!Enter("PurgeComm", std::to_string(flags))) return false;
  if ((flags & kPurgeTxAbort) && write_.ov) {
    Finish(write_.ov, kErrorOperationAborted, 0);
    write_ = PendingWrite{};
  }
  if (flags & kPurgeRxClear) rx_.clear();
  return true;
}

bool FakeSerialApi::EscapeCommFunction(THandle, std::uint32_t function) {
  std::lock_guard lock(m_);
  return Enter("EscapeCommFunction", std::to_string(function));
}

bool FakeSerialApi::WaitForReceived(THandle, std::uint32_t count, std::int64_t timeoutUs) {
  std::lock_guard lock(m_);
  // Bytes reach this device only through the test's own calls, so there is
  // nothing to wait for: the caller looks at the count again at once.
  return Enter("WaitForReceived", std::to_string(count) + ", " + std::to_string(timeoutUs));
}

std::uint32_t FakeSerialApi::GetLastError() {
  return last_error;
}

std::string FakeSerialApi::ErrorText(std::uint32_t code) {
  switch (code) {
    case 2:
      return "The system cannot find the file specified.\r\n";
    case 5:
      return "Access is denied.\r\n";
    case 31:
      return "A device attached to the system is not functioning.\r\n";
    case 87:
      return "The parameter is incorrect.\r\n";
    case 995:
      return "The I/O operation has been aborted.\r\n";
    case 997:
      return "Overlapped I/O operation is in progress.\r\n";
    default:
      return "Error " + std::to_string(code) + ".\r\n";
  }
}

TErrorKind FakeSerialApi::ErrorKindOf(std::uint32_t code) {
  switch (code) {
    case 2:
    case 3:
      return TErrorKind::ekNotFound;
    case 5:
    case 32:
      return TErrorKind::ekBusy;
    case 31:
    case 1167:
      return TErrorKind::ekHungUp;
    default:
      return TErrorKind::ekOther;
  }
}

bool FakeSerialApi::GetVersionExA(TOSVersionInfo& info) {
  std::lock_guard lock(m_);
  Enter("GetVersionExA", std::to_string(info.dwOSVersionInfoSize));
  info.dwMajorVersion = 5;
  info.dwMinorVersion = 1;
  info.dwPlatformId = platform_;
  return true;
}

}  // namespace serial
