// The serial port component: the port object with its settings, its event
// thread and its writer thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/Clock.h"
#include "framework/Exception.h"
#include "framework/Thread.h"
#include "serial/VaClasses.h"
#include "serial/VaPrst.h"
#include "serial/VaSyncObjects.h"
#include "serial/device/SerialApi.h"

namespace serial {

using framework::TThreadPriority;

// A failed platform call or a refused setting: the message text, the
// system's error code (0 where no call failed) and what the code means.
class EVaCommError : public framework::Exception {
 public:
  explicit EVaCommError(const std::string& message, std::uint32_t code = 0,
                        TErrorKind kind = TErrorKind::ekOther)
      : framework::Exception(message), code_(code), kind_(kind) {}
  std::uint32_t Code() const { return code_; }
  TErrorKind Kind() const { return kind_; }

 private:
  std::uint32_t code_;
  TErrorKind kind_;
};

enum TVaBaudrate : std::uint8_t {
  brUser,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TVaParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits : std::uint8_t { db4, db5, db6, db7, db8 };
enum TVaStopbits : std::uint8_t { sb1, sb15, sb2 };
enum TVaCommOption : std::uint8_t { coErrorChar, coNullStrip, coParityCheck };
using TVaCommOptions = EnumSet<TVaCommOption, std::uint8_t>;

enum TVaCommEvent : std::uint8_t {
  ceBreak,
  ceCts,
  ceDsr,
  ceError,
  ceRing,
  ceRlsd,
  ceRxChar,
  ceTxEmpty,
  ceRxFlag,
  cePErr,
  ceRx80Full,
  ceEvent1,
  ceEvent2
};
using TVaCommEvents = EnumSet<TVaCommEvent, std::uint16_t>;

using TVaPortInt = std::int32_t;

// The number a baud rate member writes (brUser: 0, the caller uses UserBaudrate).
std::uint32_t BaudrateValue(TVaBaudrate b);
// The driver event mask bit of a line event.
std::uint32_t CommEventBit(TVaCommEvent e);

// Error flags and status, as one status read reports them.
struct TVaCommStatus {
  std::uint32_t Errors = 0;
  std::uint32_t Flags = 0;
  std::uint32_t InQueue = 0;
  std::uint32_t OutQueue = 0;
};

class TVaCustomComm;

using TNotifyEvent = std::function<void(TVaCustomComm* Sender)>;
using TVaCommRxCharEvent = std::function<void(TVaCustomComm* Sender, std::int32_t Count)>;
using TVaCommErrorEvent = std::function<void(TVaCustomComm* Sender, std::int32_t Errors)>;
using PVaData = const std::uint8_t*;
using TVaCommRxBufEvent =
    std::function<void(TVaCustomComm* Sender, PVaData Data, std::int32_t Count)>;

// A display control that wants to hear of line events.
class TVaDisplay : public framework::TComponent {
 public:
  using framework::TComponent::TComponent;
  virtual void CommNotify(TVaCustomComm* comm) = 0;
};

// The writer thread's buffer: Count bytes at the front of Data, oldest first.
// It checks nothing; callers keep 0 <= Count <= capacity.
class TVaCommBuffer {
 public:
  explicit TVaCommBuffer(std::int32_t capacity);
  std::uint8_t* Data() { return data_.get(); }
  std::int32_t Count() const { return count_.load(std::memory_order_acquire); }
  void Append(const void* source, std::int32_t n);
  void Remove(std::int32_t n);
  void Clear();

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  // Read without the lock by a writer waiting for room.
  std::atomic<std::int32_t> count_{0};
};

class TVaCommWriteThread : public framework::TThread {
 public:
  explicit TVaCommWriteThread(TVaCustomComm* owner);
  ~TVaCommWriteThread() override;

  // Appends data when it fits, waiting for room up to the write time-out.
  bool Write(const void* data, std::int32_t n);
  // Main thread: asks for a flush acknowledgement and empties the buffer.
  void ClearBuffer();
  void Stop() { StopEvent.Signal(); }

  std::int32_t Capacity() const { return capacity_; }
  std::int32_t BufferedCount() const { return Buffer.Count(); }
  // Whether a write the driver never ended still holds this thread's record
  // and bytes (read once the thread has ended).
  bool Abandoned() const { return abandoned_; }

  TVaCustomComm* const Owner;
  bool SyncDispatch = true;

 protected:
  void Execute() override;

 private:
  void WriteCompleted(std::int32_t written, std::uint64_t generation);
  void NotifyTxEmpty();
  void NotifyError();
  void AcknowledgeFlush();
  void EndOutstandingWrite();
  void ForgetSent();

  const std::int32_t capacity_;
  TVaCommBuffer Buffer;
  // The bytes of the request in flight: appends after a clear can then never
  // change what the device is still sending.
  std::unique_ptr<std::uint8_t[]> staging_;
  std::uint64_t generation_ = 0;  // bumped by each clear, under WriteLock
  // Held from the snapshot of the buffer until its request is with the device.
  std::mutex send_mutex_;
  TOverlapped overlapped_{};
  bool write_outstanding_ = false;            // writer thread only
  bool abandoned_ = false;                    // writer thread, then after its end
  std::uint64_t outstanding_generation_ = 0;  // of the outstanding write; writer thread only
  // FlushDoneEvent has been signalled (it stays so while the thread lives).
  std::atomic<bool> flush_acknowledged_{false};

 public:
  TVaWaitEvent DataEvent;
  TVaWaitEvent StopEvent;
  TVaWaitEvent FlushEvent;
  TVaWaitEvent FlushDoneEvent;
  TVaWaitEvent WriteDoneEvent;
};

class TVaCommEventThread : public framework::TThread {
 public:
  explicit TVaCommEventThread(TVaCustomComm* owner);
  ~TVaCommEventThread() override;

  // Marks the thread terminated, then wakes it.
  void Stop();
  // Whether the driver never ended the cancelled device wait, which then
  // still holds this thread's record, mask and event (read once it has ended).
  bool Abandoned() const { return abandoned_; }

  TVaCustomComm* const Owner;
  TVaWaitEvent WakeEvent;
  std::uint32_t ReceivedMask = 0;
  bool SyncDispatch = true;

 protected:
  void Execute() override;

 private:
  void Deliver();
  void DispatchEvents();

  TOverlapped overlapped_{};
  bool abandoned_ = false;
};

class TVaCustomComm : public TVaComponent {
 public:
  explicit TVaCustomComm(framework::TComponent* owner, SerialApi& api = PlatformSerialApi());
  ~TVaCustomComm() override;

  std::string ClassName() const override { return "TVaCustomComm"; }
  void Loaded() override;
  void Notification(framework::TComponent* component, framework::TOperation operation) override;

  // Lifecycle and status.
  void Open();
  void Close();
  bool IsOpen() const { return Handle != kInvalidHandle; }
  void EnsureClosed();
  void Purge(std::uint32_t flags);
  void PurgeAll() { Purge(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear); }
  void CallCommFunction(std::uint32_t function);
  void ResetDevice() { CallCommFunction(kResetDev); }
  void ApplyDCB();
  std::string FullDeviceName();

  // Reads and writes.
  std::int32_t WriteBytes(const void* data, std::int32_t count);
  bool WriteByte(std::uint8_t b);
  std::int32_t ReadBytes(void* buffer, std::int32_t count);
  bool ReadByte(std::uint8_t& b);
  void ReadStatus(TVaCommStatus& status);
  std::int32_t InQueueCount();
  // Returns once at least count bytes wait in the receive queue or timeoutUs
  // has passed, or sooner (a back end without arrival notice pauses briefly):
  // callers look at InQueueCount again. Takes no byte and clears no error
  // flag. On a closed port it pauses at most a millisecond.
  void WaitForInQueue(std::int32_t count, std::int64_t timeoutUs);

  // Errors.
  [[noreturn]] void RaiseLastCommError(const std::string& pattern);
  [[noreturn]] void RaiseCommError(const std::string& pattern, std::uint32_t code);
  void CheckCommResult(bool ok, const std::string& pattern);

  // Settings.
  bool AutoOpen() const { return auto_open_; }
  void SetAutoOpen(bool v) { auto_open_ = v; }
  TVaBaudrate Baudrate() const { return baudrate_; }
  void SetBaudrate(TVaBaudrate v);
  TVaParity Parity() const { return parity_; }
  void SetParity(TVaParity v);
  TVaDatabits Databits() const { return databits_; }
  void SetDatabits(TVaDatabits v);
  TVaStopbits Stopbits() const { return stopbits_; }
  void SetStopbits(TVaStopbits v);
  TVaEventChars& EventChars() { return *event_chars_; }
  void SetEventChars(const TVaEventChars& v) { event_chars_->Assign(&v); }
  TVaFlowControl& FlowControl() { return *flow_control_; }
  void SetFlowControl(const TVaFlowControl& v) { flow_control_->Assign(&v); }
  TVaCommOptions Options() const { return options_; }
  void SetOptions(TVaCommOptions v);
  TVaPortInt PortNum() const { return port_num_; }
  void SetPortNum(TVaPortInt v);
  const std::string& DeviceName() const { return device_name_; }
  void SetDeviceName(const std::string& v);
  TVaCommEvents MonitorEvents() const { return monitor_events_; }
  void SetMonitorEvents(TVaCommEvents v);
  TVaBuffers& Buffers() { return *buffers_; }
  void SetBuffers(const TVaBuffers& v);
  TThreadPriority EventPriority() const { return event_priority_; }
  void SetEventPriority(TThreadPriority v);
  TThreadPriority WritePriority() const { return write_priority_; }
  void SetWritePriority(TThreadPriority v);
  bool DirectWrite() const { return direct_write_; }
  void SetDirectWrite(bool v);
  bool UpdateDCB() const { return update_dcb_; }
  void SetUpdateDCB(bool v);
  std::int32_t UserBaudrate() const { return user_baudrate_; }
  void SetUserBaudrate(std::int32_t v);
  TSettingsStore& SettingsStore() { return *settings_store_; }
  std::string Version() const { return "1.8.0.0"; }
  void SetVersion(const std::string&) {}  // accepted and ignored
  TVaDisplay* Display() const { return display_; }
  void SetDisplay(TVaDisplay* display);

  // The device interface the port talks to (closed ports only).
  SerialApi& Api() { return *api_; }
  // The millisecond tick count the writer's room wait reads; tests replace
  // it to exercise the wrap. Set while the port is closed.
  void SetTickSource(framework::TickSource source) { tick_source_ = std::move(source); }
  std::uint32_t Ticks() const { return tick_source_(); }
  void SetApi(SerialApi& api);

  // Events.
  TNotifyEvent OnOpen, OnClose, OnCts, OnDsr, OnRlsd, OnRing, OnBreak, OnRxFlag, OnPErr, OnRx80Full,
      OnEvent1, OnEvent2;
  TVaCommErrorEvent OnError;
  TVaCommRxCharEvent OnRxChar;
  TVaCommRxBufEvent OnRxBuf;  // published; the dispatch never reads data itself
  const TNotifyEvent& OnTxEmpty() const { return on_tx_empty_; }
  void SetOnTxEmpty(TNotifyEvent handler);
  // Read by the writer thread: whether a transmit-empty notice has a taker.
  bool HasTxEmptyHandler() const { return has_tx_empty_handler_.load(std::memory_order_acquire); }

  // Dispatch, on the main thread.
  virtual void DoRxChar();
  virtual void DoEvents(std::uint32_t mask);
  void DoError();
  void NotifyDisplay();

  // State.
  THandle Handle = kInvalidHandle;
  TVaCriticalSection WriteLock;
  TVaCriticalSection PortLock;
  TVaWaitEvent& WaitEvent() { return *wait_event_; }
  TVaCommEventThread* EventThread() const { return event_thread_.get(); }
  TVaCommWriteThread* WriteThread() const { return write_thread_.get(); }
  std::uint32_t EventMask() const { return event_mask_; }
  bool SyncDispatch = true;

 protected:
  virtual void OpenHandle();
  virtual void StartThreads();
  void StopThreads();
  void ReleaseHandle();
  void InitBuffers();
  void ApplyTimeouts();
  void UpdateEventMask();
  void DoOpen();
  void DoClose();

 private:
  // Waits up to timeoutMs for a started request and ends it if it is still
  // outstanding; the bytes it moved, 0 when it failed or did not end in time.
  std::int32_t AwaitRequest(TOverlapped& ov, std::uint32_t timeoutMs);

  SerialApi* api_;
  bool closing_ = false;  // main thread only: a Close is under way
  framework::TickSource tick_source_ = framework::TickCount;
  bool auto_open_ = false;
  TVaBaudrate baudrate_ = br1200;
  TVaParity parity_ = paNone;
  TVaDatabits databits_ = db8;
  TVaStopbits stopbits_ = sb1;
  TVaCommOptions options_;
  TVaPortInt port_num_ = 0;
  std::string device_name_ = "COM%d";
  TVaCommEvents monitor_events_{ceError, ceRxChar, ceTxEmpty};
  TThreadPriority event_priority_ = TThreadPriority::tpNormal;
  TThreadPriority write_priority_ = TThreadPriority::tpHighest;
  bool update_dcb_ = true;
  bool direct_write_ = false;
  std::int32_t user_baudrate_ = 0;
  std::uint32_t event_mask_ = 0;
  TVaDisplay* display_ = nullptr;
  TNotifyEvent on_tx_empty_;
  std::atomic<bool> has_tx_empty_handler_{false};

  std::unique_ptr<TVaBuffers> buffers_;
  std::unique_ptr<TVaEventChars> event_chars_;
  std::unique_ptr<TVaFlowControl> flow_control_;
  std::unique_ptr<TVaWaitEvent> wait_event_;
  std::unique_ptr<TSettingsStore> settings_store_;
  std::unique_ptr<TVaCommEventThread> event_thread_;
  std::unique_ptr<TVaCommWriteThread> write_thread_;
};

// The published port object.
class TVaComm : public TVaCustomComm {
 public:
  using TVaCustomComm::TVaCustomComm;
  std::string ClassName() const override { return "TVaComm"; }
};

// Formats a message pattern: each %d takes the next integer argument, each %s
// the next text; %% is a percent sign. Placeholders without an argument stay.
std::string FormatPattern(const std::string& pattern, std::int64_t number, const std::string& text);

}  // namespace serial
