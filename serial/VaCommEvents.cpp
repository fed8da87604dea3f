// Line events: the event thread and the dispatch to the port's handlers.
#include <cstring>

#include "framework/Application.h"
#include "serial/VaComm.h"

namespace serial {

TVaCommEventThread::TVaCommEventThread(TVaCustomComm* owner) : Owner(owner) {}

TVaCommEventThread::~TVaCommEventThread() {
  Stop();
  WaitFor();
}

void TVaCommEventThread::Stop() {
  Terminate();
  WakeEvent.Signal();
}

void TVaCommEventThread::Execute() {
  SerialApi& api = Owner->Api();
  std::memset(&overlapped_, 0, sizeof overlapped_);
  overlapped_.hEvent = WakeEvent.Handle();
  while (!Terminated()) {
    if (api.WaitCommEvent(Owner->Handle, &ReceivedMask, &overlapped_)) {
      Deliver();
      continue;
    }
    // A wait that failed at once leaves nothing to deliver, whatever a back
    // end did with its event (Wine signals it on a line that is gone): only
    // a stop wakes the thread now. Stop marks the thread before signalling,
    // so the check below still sees a stop that came before this reset.
    if (api.GetLastError() != kErrorIoPending) WakeEvent.Reset();
    // Starting the wait reset WakeEvent; a Stop that came just before would
    // otherwise be lost.
    if (Terminated()) break;
    WakeEvent.WaitFor(kInfinite);
    if (Terminated()) break;
    // Reading the outcome orders the mask word after its completion. A wait
    // that ended in failure reported no events: its word still holds the
    // last delivery's bits.
    std::uint32_t ignored = 0;
    if (api.GetOverlappedResult(Owner->Handle, &overlapped_, &ignored, false)) {
      Deliver();
      continue;
    }
    ReceivedMask = 0;
    Deliver();
    // A driver that fails one wait fails the next as well (a line gone after
    // an unplug or a resume): one started again at once would turn into a
    // storm of hand-overs. As after a wait that fails at once, only a stop
    // wakes the thread now.
    if (Terminated()) break;
    WakeEvent.WaitFor(kInfinite);
  }
  // The device wait must end before its record, mask and event go. A driver
  // that never ends it (some after an unplug) keeps them: see Abandoned.
  if (overlapped_.LoadStatus() == kStatusPending && !api.CancelIoEx(Owner->Handle, &overlapped_))
    abandoned_ = true;
}

void TVaCommEventThread::Deliver() {
  if (Terminated()) return;
  if (SyncDispatch)
    Synchronize([this] { DispatchEvents(); });
  else
    DispatchEvents();
  WakeEvent.Reset();
}

void TVaCommEventThread::DispatchEvents() {
  try {
    Owner->NotifyDisplay();
    if (ReceivedMask & kEvRxChar) {
      Owner->DoRxChar();
      ReceivedMask &= ~kEvRxChar;
    }
    if (ReceivedMask != 0) Owner->DoEvents(ReceivedMask);
  } catch (...) {
    framework::App().HandleException(this, std::current_exception());
  }
}

void TVaCustomComm::NotifyDisplay() {
  if (display_) display_->CommNotify(this);
}

void TVaCustomComm::DoRxChar() {
  const std::int32_t n = InQueueCount();
  if (n <= 0) return;
  if (OnRxChar) OnRxChar(this, n);
}

void TVaCustomComm::DoError() {
  TVaCommStatus status;
  ReadStatus(status);
  if (status.Errors == 0 || !OnError) return;
  try {
    OnError(this, static_cast<std::int32_t>(status.Errors));
  } catch (...) {
    framework::App().HandleException(this, std::current_exception());
  }
}

void TVaCustomComm::DoEvents(std::uint32_t mask) {
  if (mask & kEvErr) DoError();
  const struct {
    std::uint32_t bit;
    const TNotifyEvent& handler;
  } rows[] = {
      {kEvRxFlag, OnRxFlag}, {kEvCts, OnCts},       {kEvDsr, OnDsr},
      {kEvRing, OnRing},     {kEvRlsd, OnRlsd},     {kEvTxEmpty, on_tx_empty_},
      {kEvBreak, OnBreak},   {kEvPErr, OnPErr},     {kEvRx80Full, OnRx80Full},
      {kEvEvent1, OnEvent1}, {kEvEvent2, OnEvent2},
  };
  for (const auto& row : rows)
    if ((mask & row.bit) && row.handler) row.handler(this);
}

}  // namespace serial
