// The serial device interface on Windows: every operation is the kernel32
// call of its name, with the device control block, the timeouts, the status
// record, the version record and the overlapped record passed as the
// platform's own records (the interface's types are laid out like them).
//
// Where the back end does more than pass the call on:
// - ReadFile asks ClearCommError how many bytes are queued and reads at most
//   that many, so a read of an empty queue completes at once with 0 bytes.
//   (Windows does that with the port's timeouts already; Wine on a
//   pseudo-terminal leaves such a read pending.) The error flags that query
//   clears are kept for the handle and reported by the next ClearCommError.
// - CancelIoEx returns once the request has ended, as the interface promises;
//   the platform's call only asks for the cancellation. A request that has
//   not ended 3 s after it was cancelled is given up: false, error 258, and
//   the caller leaves its record and data to the driver.
// - ErrorText is the system's message (FormatMessage) without the line break
//   it ends in.
// - WaitForReceived sleeps until the line reports an arrival: on the
//   caller's own event wait while it is outstanding (the port's event
//   thread), else on a wait of its own, which a later WaitCommEvent of the
//   caller ends first (a handle has room for one event wait). What that own
//   wait reported is handed to the caller's next WaitCommEvent, which then
//   completes at once.
//   Where a read of an empty queue waits for its bytes (Wine on a
//   pseudo-terminal; its event waits end only some 10 ms after the bytes),
//   it sleeps on a read of its own instead, which ends as the bytes come and
//   is ended before the wait returns. The bytes it took are the caller's
//   next: ClearCommError counts them as queued, ReadFile hands them out
//   first, PurgeComm's receive clear drops them. Their arrival is handed to
//   the caller's next WaitCommEvent; an event wait of the caller's that is
//   outstanding meanwhile is not told of them (Wine fails a wait ended by a
//   change of the mask; its polling missed most such arrivals before too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serial/device/SerialApi.h"

namespace serial {

class Win32SerialApi : public SerialApi {
 public:
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
  // ov == nullptr cancels every request of the handle without waiting.
  bool CancelIoEx(THandle h, TOverlapped* ov) override;
  bool ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) override;
  bool PurgeComm(THandle h, std::uint32_t flags) override;
  bool EscapeCommFunction(THandle h, std::uint32_t function) override;

  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;
  // Error 5 is another program's hold when an open fails, and a line that
  // went away when a call on an open port fails.
  TErrorKind ErrorKindOf(std::uint32_t code) override;
  bool WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) override;
  bool GetVersionExA(TOSVersionInfo& info) override;

  // Ends every wait for received bytes at once, now and until the process
  // ends: each fails with error 995 (an interruption: nothing more is
  // awaited). Any thread may call it.
  void EndReceiveWaits();
  // Lets waits for received bytes wait again, for a program that goes on
  // after an interruption (the tests).
  void ResumeReceiveWaits();

 private:
  struct Port;
  std::shared_ptr<Port> Find(THandle h);
  // Returns once the request of ov has ended; false if the driver refused.
  bool EndRequest(THandle h, TOverlapped* ov);
  // Asks the driver to end the pending request of ov; false if it refused.
  bool AskToEnd(THandle h, TOverlapped* ov);
  // Ends the wait of our own on the port, if one is outstanding; p.m held.
  // False if the driver never ended it.
  bool EndOwnWait(THandle h, Port& p);
  // Bytes in the receive queue and ahead of it, keeping the error flags the
  // query clears.
  bool Queued(THandle h, std::uint32_t& count);
  // The bytes our own read took ahead of the caller.
  std::size_t AheadCount(THandle h);
  // A read of our own that has ended hands its bytes on; p.m held.
  void CollectAhead(Port& p);
  // Ends our own read, if one is outstanding; p.m held. False if the
  // driver never ended it.
  bool EndAheadRead(THandle h, Port& p);
  // A read served from the bytes ahead; false if there are none.
  bool TakeAhead(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                 TOverlapped* ov);
  // Error flags a read's queue query cleared, per handle, until reported.
  std::uint32_t TakeKeptErrors(THandle h);
  void KeepErrors(THandle h, std::uint32_t errors);

  std::mutex kept_mutex_;
  std::map<THandle, std::uint32_t> kept_errors_;
  std::mutex ports_mutex_;
  std::map<THandle, std::shared_ptr<Port>> ports_;
};

}  // namespace serial
