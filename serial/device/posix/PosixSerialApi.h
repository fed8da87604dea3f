// The serial device interface on POSIX terminals (termios): the table of
// open handles. Each handle is one OpenPort, which owns its descriptor and
// an I/O thread (OpenPort.h).
//
// Choices where the terminal differs from a kernel32 serial port:
// - Handles are numbers that are never reused; a stale handle fails with
//   EBADF and never reaches another device.
// - Reads always complete at once with what is queued (the port's timeouts
//   ask for exactly that), so no read is ever outstanding.
// - A write completes at once only when the device takes all of it;
//   otherwise it stays outstanding and completes when all its bytes are
//   written (or fails, or is cancelled): never short.
// - A full receive queue takes no more bytes from the device: they wait in
//   the driver, whose buffer and flow control hold the sender back. With
//   input flow control the queue holds at XoffLim free bytes and takes
//   again at XonLim queued ones.
// - Line errors come from TIOCGICOUNT where the driver has it; an overrun
//   (of the UART or of the driver's buffer) raises EV_ERR. Modem-line
//   events (CTS, DSR, RLSD, and RING at the start of a ring) come where the
//   line has modem lines: while the mask asks for them, the I/O thread looks
//   at the lines every 10 ms, as they have no descriptor to wait on. A
//   pseudo-terminal has none, so it is never polled.
// - EV_TXEMPTY is raised once the last write has been handed to the driver
//   and the driver's transmit queue (TIOCOUTQ) is empty; the I/O thread
//   looks again after about the time the queued bytes take on the line.
// - SetCommState refuses what a terminal cannot carry (EOPNOTSUPP) and reads
//   back what the driver kept; a refused record leaves the line unchanged.
// - Opening takes the line (flock, TIOCEXCL) before changing it, and refuses
//   a line another process holds open (EBUSY), as far as /proc shows it.
// - A hang-up (the device was unplugged or the other side closed) ends an
//   outstanding wait and outstanding writes with EIO. Afterwards writes and
//   event waits fail with EIO; what was received can still be read, with
//   ClearCommError reporting kCeIoError once. Once the queue is empty reads
//   fail with EIO, and so does every ClearCommError after the first that
//   finds it empty, as for a removed adapter.
// - A record whose request is still outstanding cannot start another one
//   (EINVAL); CancelIoEx returns true also for a request that had already
//   ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serial/device/SerialApi.h"

namespace serial {

namespace posix {
class OpenPort;
}

class PosixSerialApi : public SerialApi {
 public:
  // The platform's CE_IOE flag: the device reported an I/O failure (here: it
  // hung up).
  static constexpr std::uint32_t kCeIoError = 0x0400;

  PosixSerialApi();
  ~PosixSerialApi() override;
  PosixSerialApi(const PosixSerialApi&) = delete;
  PosixSerialApi& operator=(const PosixSerialApi&) = delete;

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
  // wait=true blocks until the request of ov on this handle has ended; a
  // record that is not outstanding on this handle is not waited for.
  bool GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                           bool wait) override;
  // ov == nullptr cancels every outstanding request of the handle.
  bool CancelIoEx(THandle h, TOverlapped* ov) override;
  bool ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) override;
  bool PurgeComm(THandle h, std::uint32_t flags) override;
  bool EscapeCommFunction(THandle h, std::uint32_t function) override;
  // Sleeps until the I/O thread has queued count bytes, or the time is up.
  bool WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) override;

  // The driver's answer to the low-latency request made when h was opened:
  // 0 when the line is in low-latency mode, else the errno of the refusal
  // (a pseudo-terminal refuses); -1 when h is not open.
  int LowLatencyRefusal(THandle h);

  std::uint32_t GetLastError() override;
  std::string ErrorText(std::uint32_t code) override;
  TErrorKind ErrorKindOf(std::uint32_t code) override;
  bool GetVersionExA(TOSVersionInfo& info) override;

 private:
  std::shared_ptr<posix::OpenPort> Find(THandle h);

  std::mutex table_mutex_;
  std::map<THandle, std::shared_ptr<posix::OpenPort>> ports_;
  THandle next_handle_ = 1;
};

}  // namespace serial
