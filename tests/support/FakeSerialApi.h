// A scriptable serial device for tests: it records every call with its
// arguments, in order, and lets a test choose each call's result, complete
// outstanding requests on demand and pick either platform family.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/device/SerialApi.h"

namespace serial {

class FakeSerialApi : public SerialApi {
 public:
  enum class WriteMode {
    Complete,  // every write completes at once with all its bytes
    Partial,   // completes at once with at most PartialLimit bytes
    Pending,   // stays outstanding until CompleteWrite or a cancel/purge
  };

  FakeSerialApi();
  ~FakeSerialApi() override;

  // --- scripting -----------------------------------------------------------
  // The next `times` calls of `call` (its name, e.g. "SetCommState") fail with error.
  void FailNext(const std::string& call, std::uint32_t error, int times = 1);
  // Every call of `call` fails with error until cleared (error 0).
  void FailAlways(const std::string& call, std::uint32_t error);
  void SetPlatform(std::uint32_t platformId);
  void SetWriteMode(WriteMode mode, std::uint32_t partialLimit = 1);
  // Reads stay outstanding (a device that does not complete at once).
  void SetReadsPending(bool pending);
  // Requests that end at once leave their event unsignalled, as the kernel32
  // back end's own completions do.
  void SetSignalsAtOnce(bool signal);
  // Bytes the device received from the line.
  void Receive(const std::vector<std::uint8_t>& bytes);
  // Error flags the next ClearCommError reports (and clears).
  void RaiseErrors(std::uint32_t flags);
  // Reports line events: completes an outstanding wait, or is kept for the next one.
  void RaiseEvents(std::uint32_t mask);
  // Completes the outstanding wait with `mask` but leaves its event unsignalled,
  // as when a completion and a stop signal the same event together.
  bool CompleteWaitUnsignalled(std::uint32_t mask);
  // Ends the outstanding wait with `error`, its mask word left as it was, as
  // a wait ends when the device goes away.
  bool FailWait(std::uint32_t error);
  // From now on (error 0: no longer) every WaitCommEvent fails at once with
  // `error` and leaves its event signalled, as Wine does on a line gone.
  void FailWaitsSignalled(std::uint32_t error);
  // Completes the outstanding write with `transferred` bytes (success) or an error.
  bool CompleteWrite(std::uint32_t transferred, std::uint32_t error = 0);
  // A device that answers: called with the bytes of each completed write; what
  // it returns is received from the line.
  using Responder = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;
  void SetResponder(Responder responder);
  // Runs on the calling thread at the start of every waiting GetOverlappedResult.
  void SetWaitingResultHook(std::function<void()> hook);
  bool WriteOutstanding();
  bool WaitOutstanding();

  // --- inspection ----------------------------------------------------------
  // Each call as "Name(args)", in order.
  std::vector<std::string> Calls();
  // The calls with one of the given names, in order.
  std::vector<std::string> CallsNamed(std::initializer_list<std::string> names);
  void ClearCalls();
  TDCB LastDcb();
  // Bytes that completed writes put on the line, in order.
  std::vector<std::uint8_t> Written();
  bool IsOpen(THandle h);

  // --- the interface -------------------------------------------------------
  THandle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                      std::uint32_t creation, std::uint32_t flags) override;
  bool CloseHandle(THandle h) override;
  bool GetCommState(THandle h, TDCB& dcb) override;
  bool SetCommState(THandle h, const TDCB& dcb) override;
  bool SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) override;
  bool SetCommMask(THandle h, std::uint32_t mask) override;
  bool WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) override;
  bool ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                TOverlapped* ov) override;
  bool WriteFile(THandle h, const void* buffer, std::uint32_t count, std::uint32_t* written,
                 TOverlapped* ov) override;
  bool GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                           bool wait) override;
  bool CancelIoEx(THandle h, TOverlapped* ov) override;
  bool ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) override;
  bool PurgeComm(THandle h, std::uint32_t flags) override;
  bool EscapeCommFunction(THandle h, std::uint32_t function) override;
  bool WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) override;
  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;
  // Kernel32's codes: 2/3 not found, 5/32 busy (a COM port held elsewhere
  // is refused with "access denied"), 31/1167 hung up.
  TErrorKind ErrorKindOf(std::uint32_t code) override;
  bool GetVersionExA(TOSVersionInfo& info) override;

 private:
  void Respond(const std::uint8_t* data, std::uint32_t n);

  struct PendingWrite {
    TOverlapped* ov = nullptr;
    const std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
  };

  // Records the call; returns false (with the last error set) when scripted to fail.
  bool Enter(const std::string& name, const std::string& args);
  static void Finish(TOverlapped* ov, std::uintptr_t status, std::uintptr_t transferred);
  // A request that ended at once: its event as SetSignalsAtOnce says.
  void FinishAtOnce(TOverlapped* ov, std::uintptr_t transferred);
  bool Fail(std::uint32_t error);

  std::mutex m_;
  std::vector<std::string> calls_;
  std::map<std::string, std::deque<std::uint32_t>> fail_next_;
  std::map<std::string, std::uint32_t> fail_always_;
  std::uint32_t platform_ = kVerPlatformWin32NT;
  WriteMode write_mode_ = WriteMode::Complete;
  std::uint32_t partial_limit_ = 1;
  bool reads_pending_ = false;
  bool signals_at_once_ = true;
  std::deque<std::uint8_t> rx_;
  std::vector<std::uint8_t> written_;
  std::uint32_t errors_ = 0;
  std::uint32_t events_ = 0;
  std::uint32_t mask_ = 0;
  TDCB dcb_{};
  THandle next_handle_ = 100;
  std::vector<THandle> open_;
  TOverlapped* wait_ov_ = nullptr;
  std::uint32_t fail_waits_signalled_ = 0;
  std::uint32_t* wait_mask_ = nullptr;
  PendingWrite write_;
  std::vector<TOverlapped*> pending_reads_;
  std::function<void()> waiting_result_hook_;
  Responder responder_;
};

}  // namespace serial
