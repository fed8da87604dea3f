#include "serial/VaComm.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/Application.h"

namespace serial {

std::uint32_t BaudrateValue(TVaBaudrate b) {
  static constexpr std::uint32_t kRates[] = {0,     110,    300,    600,   1200,  2400,
                                             4800,  9600,   14400,  19200, 38400, 56000,
                                             57600, 115200, 128000, 256000};
  return b < std::size(kRates) ? kRates[b] : 0;
}

std::uint32_t CommEventBit(TVaCommEvent e) {
  static constexpr std::uint32_t kBits[] = {kEvBreak,    kEvCts,    kEvDsr,     kEvErr,    kEvRing,
                                            kEvRlsd,     kEvRxChar, kEvTxEmpty, kEvRxFlag, kEvPErr,
                                            kEvRx80Full, kEvEvent1, kEvEvent2};
  return e < std::size(kBits) ? kBits[e] : 0;
}

std::string FormatPattern(const std::string& pattern, std::int64_t number,
                          const std::string& text) {
  std::string out;
  out.reserve(pattern.size() + text.size() + 12);
  bool numberUsed = false;
  bool textUsed = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    const char k = pattern[i + 1];
    if (k == '%') {
      out += '%';
      ++i;
    } else if (k == 'd' && !numberUsed) {
      out += std::to_string(number);
      numberUsed = true;
      ++i;
    } else if (k == 's' && !textUsed) {
      out += text;
      textUsed = true;
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::string EscapePercent(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// The system's text, at most 256 characters, without trailing blanks,
// line breaks, control characters and full stops.
std::string TrimmedErrorText(std::string text) {
  if (text.size() > 256) text.resize(256);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.'))
    text.pop_back();
  return text;
}

constexpr char kPortOpenMessage[] = "Can't perform this operation while port is open";

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TVaCustomComm::TVaCustomComm(framework::TComponent* owner, SerialApi& api)
    : TVaComponent(owner), api_(&api) {
  buffers_ = std::make_unique<TVaBuffers>();
  buffers_->SetOnChange([this](TVaPersistent&) { EnsureClosed(); });
  event_chars_ = std::make_unique<TVaEventChars>();
  event_chars_->SetOnChange([this](TVaPersistent&) { ApplyDCB(); });
  flow_control_ = std::make_unique<TVaFlowControl>();
  flow_control_->SetOnChange([this](TVaPersistent&) { ApplyDCB(); });
  wait_event_ = std::make_unique<TVaWaitEvent>();
  settings_store_ = std::make_unique<TSettingsStore>();
}

TVaCustomComm::~TVaCustomComm() {
  Destroying();
  try {
    Close();
  } catch (...) {
    // A destructor cannot pass the error on; the application is told.
    framework::App().HandleException(this, std::current_exception());
  }
  if (display_) RemoveFreeNotification(display_);
}

void TVaCustomComm::Loaded() {
  TVaComponent::Loaded();
  if (!(ComponentState() & framework::csDesigning) && auto_open_) Open();
}

void TVaCustomComm::Notification(framework::TComponent* component,
                                 framework::TOperation operation) {
  if (operation == framework::TOperation::opRemove && component != nullptr && component == display_)
    display_ = nullptr;
  TVaComponent::Notification(component, operation);
}

void TVaCustomComm::SetDisplay(TVaDisplay* display) {
  if (display_ == display) return;
  if (display_) RemoveFreeNotification(display_);
  display_ = display;
  if (display_) FreeNotification(display_);
}

void TVaCustomComm::SetApi(SerialApi& api) {
  EnsureClosed();
  api_ = &api;
}

void TVaCustomComm::SetOnTxEmpty(TNotifyEvent handler) {
  on_tx_empty_ = std::move(handler);
  has_tx_empty_handler_.store(static_cast<bool>(on_tx_empty_), std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Errors

void TVaCustomComm::RaiseLastCommError(const std::string& pattern) {
  RaiseCommError(pattern, api_->GetLastError());
}

void TVaCustomComm::RaiseCommError(const std::string& pattern, std::uint32_t code) {
  const std::string text = TrimmedErrorText(api_->ErrorText(code));
  throw EVaCommError(FormatPattern(pattern, code, text), code, api_->ErrorKindOf(code));
}

void TVaCustomComm::CheckCommResult(bool ok, const std::string& pattern) {
  if (!ok) RaiseLastCommError(pattern);
}

void TVaCustomComm::EnsureClosed() {
  if (IsOpen()) RaiseLastCommError(kPortOpenMessage);
}

// ---------------------------------------------------------------------------
// Settings

void TVaCustomComm::SetBaudrate(TVaBaudrate v) {
  if (v == baudrate_) return;
  baudrate_ = v;
  if (v != brUser) user_baudrate_ = 0;
  ApplyDCB();
}

void TVaCustomComm::SetParity(TVaParity v) {
  if (v == parity_) return;
  parity_ = v;
  ApplyDCB();
}

void TVaCustomComm::SetDatabits(TVaDatabits v) {
  if (v == databits_) return;
  databits_ = v;
  ApplyDCB();
}

void TVaCustomComm::SetStopbits(TVaStopbits v) {
  if (v == stopbits_) return;
  stopbits_ = v;
  ApplyDCB();
}

void TVaCustomComm::SetOptions(TVaCommOptions v) {
  if (v == options_) return;
  options_ = v;
  ApplyDCB();
}

void TVaCustomComm::SetPortNum(TVaPortInt v) {
  EnsureClosed();
  port_num_ = v;
}

void TVaCustomComm::SetDeviceName(const std::string& v) {
  EnsureClosed();
  device_name_ = v;
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents v) {
  EnsureClosed();
  monitor_events_ = v;
}

void TVaCustomComm::SetBuffers(const TVaBuffers& v) {
  EnsureClosed();
  buffers_->Assign(&v);
}

void TVaCustomComm::SetEventPriority(TThreadPriority v) {
  if (v == event_priority_) return;
  event_priority_ = v;
  if (event_thread_) event_thread_->SetPriority(v);
}

void TVaCustomComm::SetWritePriority(TThreadPriority v) {
  if (v == write_priority_) return;
  write_priority_ = v;
  if (write_thread_) write_thread_->SetPriority(v);
}

void TVaCustomComm::SetDirectWrite(bool v) {
  EnsureClosed();
  direct_write_ = v;
}

void TVaCustomComm::SetUpdateDCB(bool v) {
  EnsureClosed();
  update_dcb_ = v;
}

void TVaCustomComm::SetUserBaudrate(std::int32_t v) {
  if (v == user_baudrate_) return;
  user_baudrate_ = v;
  baudrate_ = brUser;
  ApplyDCB();
}

void TVaCustomComm::ApplyDCB() {
  if (!IsOpen() || !update_dcb_) return;
  TDCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(TDCB);
  api_->GetCommState(Handle, dcb);  // only the base for the reserved words

  dcb.BaudRate =
      baudrate_ == brUser ? static_cast<std::uint32_t>(user_baudrate_) : BaudrateValue(baudrate_);
  dcb.Parity = static_cast<std::uint8_t>(parity_);
  dcb.StopBits = static_cast<std::uint8_t>(stopbits_);
  dcb.ByteSize = static_cast<std::uint8_t>(4 + databits_);
  dcb.XonChar = event_chars_->XonChar();
  dcb.XoffChar = event_chars_->XoffChar();
  dcb.ErrorChar = event_chars_->ErrorChar();
  dcb.EofChar = event_chars_->EofChar();
  dcb.EvtChar = event_chars_->EventChar();
  dcb.XonLim = static_cast<std::uint16_t>(buffers_->XonLimit());
  dcb.XoffLim = static_cast<std::uint16_t>(buffers_->XoffLimit());

  const TVaFlowControl& fc = *flow_control_;
  std::uint32_t flags = kDcbBinary;
  if (fc.OutCtsFlow()) flags |= kDcbOutxCtsFlow;
  if (fc.OutDsrFlow()) flags |= kDcbOutxDsrFlow;
  if (fc.XonXoffOut()) flags |= kDcbOutX;
  if (fc.XonXoffIn()) flags |= kDcbInX;
  flags |= 0x10u * fc.ControlDtr();
  flags |= 0x1000u * fc.ControlRts();
  if (fc.DsrSensitivity()) flags |= kDcbDsrSensitivity;
  if (fc.TxContinueOnXoff()) flags |= kDcbTxContinueOnXoff;
  if (options_.Contains(coErrorChar)) flags |= kDcbErrorChar;
  if (options_.Contains(coNullStrip)) flags |= kDcbNull;
  if (options_.Contains(coParityCheck)) flags |= kDcbParity;
  dcb.Flags = flags;

  CheckCommResult(api_->SetCommState(Handle, dcb), "Error writing dcb (%d), %s");
}

// ---------------------------------------------------------------------------
// Lifecycle

std::string TVaCustomComm::FullDeviceName() {
  TOSVersionInfo info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  api_->GetVersionExA(info);
  std::string name = FormatPattern(device_name_, port_num_, std::string());
  // A name with a path (\\.\COM12, a device path) is opened as given.
  if (info.dwPlatformId == kVerPlatformWin32NT && name.find_first_of("\\/") == std::string::npos)
    name = "\\\\.\\" + name;
  return name;
}

void TVaCustomComm::OpenHandle() {
  const std::string name = FullDeviceName();
  Handle = api_->CreateFileA(name, kGenericReadWrite, 0, kOpenExisting, kFileFlagOverlapped);
  if (Handle != kInvalidHandle) return;
  // Taken before any other call: the system does not promise that later
  // calls, even successful ones, leave the last error alone.
  const std::uint32_t code = api_->GetLastError();
  if (code == kErrorFileNotFound)
    RaiseCommError("Specified device not found (" + EscapePercent(name) + ").", code);
  RaiseCommError("Can't open specified device " + EscapePercent(name) + " (Error %d, %s)", code);
}

void TVaCustomComm::ReleaseHandle() {
  api_->CloseHandle(Handle);
  Handle = kInvalidHandle;
}

void TVaCustomComm::InitBuffers() {
  CheckCommResult(api_->SetupComm(Handle, static_cast<std::uint32_t>(buffers_->ReadSize()),
                                  static_cast<std::uint32_t>(buffers_->WriteSize())),
                  "Error initializing buffers (%d), %s");
}

void TVaCustomComm::ApplyTimeouts() {
  const TCommTimeouts timeouts{0xFFFFFFFFu, 0, 0, 0, 0};
  CheckCommResult(api_->SetCommTimeouts(Handle, timeouts), "Error setting timeouts (%d), %s");
}

void TVaCustomComm::UpdateEventMask() {
  std::uint32_t mask = 0;
  for (int e = ceBreak; e <= ceEvent2; ++e)
    if (monitor_events_.Contains(static_cast<TVaCommEvent>(e)))
      mask |= CommEventBit(static_cast<TVaCommEvent>(e));
  // With the writer thread, an empty transmit buffer is reported by the thread.
  if (!direct_write_) mask &= ~kEvTxEmpty;
  event_mask_ = mask;
  if (IsOpen())
    CheckCommResult(api_->SetCommMask(Handle, event_mask_), " Error setting EventMask (%d), %s");
}

void TVaCustomComm::Open() {
  EnsureClosed();
  OpenHandle();
  if (!IsOpen()) return;
  try {
    ApplyDCB();
    InitBuffers();
    ApplyTimeouts();
    UpdateEventMask();
    StartThreads();
  } catch (...) {
    // A thread that did start is stopped and joined before the handle goes.
    StopThreads();
    ReleaseHandle();
    throw;
  }
  DoOpen();
}

void TVaCustomComm::StartThreads() {
  if (event_mask_ != 0) {
    event_thread_ = std::make_unique<TVaCommEventThread>(this);
    event_thread_->SetPriority(event_priority_);
    event_thread_->SyncDispatch = SyncDispatch;
    event_thread_->Start();
  }
  if (!direct_write_) {
    write_thread_ = std::make_unique<TVaCommWriteThread>(this);
    write_thread_->SetPriority(write_priority_);
    write_thread_->SyncDispatch = SyncDispatch;
    write_thread_->Start();
  }
}

namespace {

// A thread whose request the driver never ended (older USB-serial drivers
// after an unplug): its record, buffer and event stay the driver's, so the
// thread object is kept, on purpose, for the rest of the process instead of
// being freed under the driver; the handle is closed all the same.
template <typename T>
void KeepForTheDriver(std::unique_ptr<T> thread) {
  static std::mutex m;
  static auto* kept = new std::vector<std::unique_ptr<framework::TThread>>;
  std::lock_guard lock(m);
  kept->push_back(std::move(thread));
}

}  // namespace

void TVaCustomComm::StopThreads() {
  // A thread whose synchronised call is running right now (a handler closing
  // the port) cannot end before that call returns: it is stopped here and
  // destroyed once it has ended.
  if (event_thread_) {
    event_thread_->Stop();
    if (event_thread_->InRunningSynchronize()) {
      framework::TThread::DestroyWhenFinished(std::move(event_thread_));
    } else {
      event_thread_->WaitFor();
      if (event_thread_->Abandoned())
        KeepForTheDriver(std::move(event_thread_));
      else
        event_thread_.reset();
    }
  }
  if (write_thread_) {
    write_thread_->Stop();
    if (write_thread_->InRunningSynchronize()) {
      framework::TThread::DestroyWhenFinished(std::move(write_thread_));
    } else {
      write_thread_->WaitFor();
      if (write_thread_->Abandoned())
        KeepForTheDriver(std::move(write_thread_));
      else
        write_thread_.reset();
    }
  }
}

void TVaCustomComm::Close() {
  // A handler that runs while this Close waits for a thread may close again:
  // the close under way finishes the job, so that call has nothing to do.
  if (!IsOpen() || closing_) return;
  {
    closing_ = true;
    struct ClosingMark {
      bool& mark;
      ~ClosingMark() { mark = false; }
    } mark{closing_};
    std::lock_guard lock(PortLock);
    StopThreads();
  }
  ReleaseHandle();
  DoClose();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void TVaCustomComm::DoOpen() {
  if (!OnOpen) return;
  try {
    OnOpen(this);
  } catch (...) {
    framework::App().HandleException(this, std::current_exception());
  }
}

void TVaCustomComm::DoClose() {
  if (!(ComponentState() & framework::csDestroying) && OnClose) OnClose(this);
}

void TVaCustomComm::Purge(std::uint32_t flags) {
  if (!IsOpen()) return;
  std::lock_guard lock(PortLock);
  if (flags != (kPurgeRxAbort | kPurgeRxClear) && write_thread_) write_thread_->ClearBuffer();
  CheckCommResult(api_->PurgeComm(Handle, flags), "Error clearing buffers (%d), %s");
}

void TVaCustomComm::CallCommFunction(std::uint32_t function) {
  if (!IsOpen()) return;
  CheckCommResult(api_->EscapeCommFunction(Handle, function),
                  "Error calling comm function (%d), %s");
}

}  // namespace serial
