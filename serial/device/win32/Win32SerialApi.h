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
//   the caller's next WaitCommEvent, or to the caller's wait that a read of
//   ours answers (below).
// - WaitCommEvent, where reads of an empty queue wait and the mask asks for
//   received bytes (and line errors) only, is answered by a read of ours
//   for one byte instead of the line's event wait: Wine runs one of those as
//   a thread polling the line every millisecond, 3 to 4 % of a core while
//   the port's event thread holds it. The read ends as a byte comes, and
//   the wait with it (EV_RXCHAR); the byte is the caller's next. A later
//   ReadFile takes what is ahead and then what is queued, so a reply is
//   read whole. Line errors are kept by ClearCommError as before; they do
//   not end such a wait. CancelIoEx and a change of the mask end it as they
//   end the system's (cancelled; no events).
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
  // Starts a read of our own for up to want bytes, which signals wake (an
  // event of ours, or the caller's on the caller's thread: the read resets
  // it); p.m held. Where reads of an empty queue do not wait, reads_wait
  // becomes false.
  void StartAheadRead(THandle h, Port& p, std::uint32_t want, void* wake);
  // Whether a wait of the caller's for mask is answered by a read of ours.
  static bool StandsIn(const Port& p);
  // Starts the read that answers the caller's event wait; p.m held. False
  // where the line's own event wait is to be used; else the call's result.
  bool StartStandIn(THandle h, Port& p, std::uint32_t* mask, TOverlapped* ov, bool& result);
  // Ends the caller's wait that a read of ours answers, with these events
  // and status, and signals its event unless its read did; p.m held. Its
  // read must have ended.
  static void FinishStandIn(Port& p, std::uint32_t events, std::uintptr_t status,
                            bool signal = true);
  // Waits, bounded, for our outstanding read to end by itself (bytes are
  // queued for it), else ends it; p.m held.
  void AwaitAheadRead(THandle h, Port& p);
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
