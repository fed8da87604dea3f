#include "serial/device/posix/PosixSerialApi.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>
#include <utility>

#include "framework/posix/UniqueFd.h"
#include "serial/device/posix/LastError.h"
#include "serial/device/posix/LineHolders.h"
#include "serial/device/posix/LowLatency.h"
#include "serial/device/posix/OpenPort.h"
#include "serial/device/posix/PortMap.h"
#include "serial/device/posix/TermiosSettings.h"

namespace serial {

using posix::DcbFromTermios;
using posix::Fail;
using posix::FailOpen;
using posix::LastError;
using posix::MakeRaw;
using posix::OpenPort;

static_assert(PosixSerialApi::kCeIoError == OpenPort::kCeIoError);

PosixSerialApi::PosixSerialApi() = default;

PosixSerialApi::~PosixSerialApi() {
  std::map<THandle, std::shared_ptr<OpenPort>> ports;
  {
    std::lock_guard lock(table_mutex_);
    ports.swap(ports_);
  }
  for (auto& [h, port] : ports) port->Shutdown();
}

std::shared_ptr<OpenPort> PosixSerialApi::Find(THandle h) {
  std::lock_guard lock(table_mutex_);
  const auto it = ports_.find(h);
  if (it == ports_.end()) {
    Fail(EBADF);
    return nullptr;
  }
  return it->second;
}

THandle PosixSerialApi::CreateFileA(const std::string& name, std::uint32_t, std::uint32_t,
                                    std::uint32_t, std::uint32_t) {
  // The arguments are always read/write, exclusive, existing, overlapped here.
  try {
    const std::string path = ResolvePortName(name);
    framework::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return FailOpen(errno);
    // The line is taken before anything of it changes: the lock keeps out
    // programs that ask for it, exclusive mode unprivileged openers, and
    // a program that already holds it open is looked for.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
      return FailOpen(errno == EWOULDBLOCK ? EBUSY : errno);
#ifdef TIOCGEXCL
    // The exclusive mark lives on the line, not with its setter: a holder
    // killed before its close leaves it set for as long as anything else
    // (the device side of a pseudo-terminal, a console) keeps the line
    // open. With the lock taken no live user of it is left, so a mark that
    // nobody else's open descriptor goes with is stale and is taken over
    // below. Only a privileged opener gets this far past a set mark.
    int exclusive = 0;
    if (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0 &&
        posix::HeldByAnotherProcess(fd.Get()))
      return FailOpen(EBUSY);
#endif
    if (::ioctl(fd.Get(), TIOCEXCL) != 0) return FailOpen(errno);
    // Another holder may outlive this descriptor: a failed open must not
    // leave the line exclusive.
    struct Exclusive {
      ~Exclusive() {
        if (fd < 0) return;
        posix::RestoreLineSettings(fd);
        ::ioctl(fd, TIOCNXCL);
      }
      int fd;
    } undo{fd.Get()};
    if (posix::HeldByAnotherProcess(fd.Get())) return FailOpen(EBUSY);

    termios t{};
    if (::tcgetattr(fd.Get(), &t) != 0) return FailOpen(errno);
    // Put back when the port closes (or this open fails).
    posix::RememberLineSettings(fd.Get(), t);
    MakeRaw(t);
    if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0) return FailOpen(errno);
    const TDCB dcb = DcbFromTermios(fd.Get(), t);
    // A refusal costs only latency; it is kept for whoever asks.
    const int lowLatency = posix::RequestLowLatency(fd.Get());

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return FailOpen(errno);
    framework::UniqueFd wakeRead(pipeFds[0]);
    framework::UniqueFd wakeWrite(pipeFds[1]);
    // From here the port owns the descriptor and undoes the open on failure.
    undo.fd = -1;
    auto port =
        std::make_shared<OpenPort>(std::move(fd), std::move(wakeRead), std::move(wakeWrite), dcb);
    port->NoteLowLatency(lowLatency);
    port->Open();
    std::lock_guard lock(table_mutex_);
    const THandle h = next_handle_++;
    ports_.emplace(h, std::move(port));
    return h;
  } catch (const std::bad_alloc&) {
    return FailOpen(ENOMEM);
  } catch (const std::system_error& e) {
    return FailOpen(e.code().value());
  }
}

bool PosixSerialApi::CloseHandle(THandle h) {
  std::shared_ptr<OpenPort> port;
  {
    std::lock_guard lock(table_mutex_);
    const auto it = ports_.find(h);
    if (it == ports_.end()) return Fail(EBADF);
    port = std::move(it->second);
    ports_.erase(it);
  }
  port->Shutdown();
  return true;
}

bool PosixSerialApi::GetCommState(THandle h, TDCB& dcb) {
  const auto port = Find(h);
  return port && port->GetState(dcb);
}

bool PosixSerialApi::SetCommState(THandle h, const TDCB& dcb) {
  const auto port = Find(h);
  return port && port->SetState(dcb);
}

bool PosixSerialApi::SetupComm(THandle h, std::uint32_t inQueue, std::uint32_t) {
  // Writes go straight to the driver: there is no transmit queue to size.
  const auto port = Find(h);
  try {
    return port && port->Setup(inQueue);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

bool PosixSerialApi::SetCommTimeouts(THandle h, const TCommTimeouts& timeouts) {
  const auto port = Find(h);
  return port && port->SetTimeouts(timeouts);
}

bool PosixSerialApi::SetCommMask(THandle h, std::uint32_t mask) {
  const auto port = Find(h);
  return port && port->SetMask(mask);
}

bool PosixSerialApi::WaitCommEvent(THandle h, std::uint32_t* mask, TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->WaitEvent(mask, ov);
}

bool PosixSerialApi::ReadFile(THandle h, void* buffer, std::uint32_t count, std::uint32_t* read,
                              TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->Read(buffer, count, read, ov);
}

bool PosixSerialApi::WriteFile(THandle h, const void* buffer, std::uint32_t count,
                               std::uint32_t* written, TOverlapped* ov) {
  const auto port = Find(h);
  try {
    return port && port->Write(buffer, count, written, ov);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

bool PosixSerialApi::GetOverlappedResult(THandle h, TOverlapped* ov, std::uint32_t* transferred,
                                         bool wait) {
  const auto port = Find(h);
  return port && port->Result(ov, transferred, wait);
}

bool PosixSerialApi::CancelIoEx(THandle h, TOverlapped* ov) {
  const auto port = Find(h);
  return port && port->Cancel(ov);
}

bool PosixSerialApi::ClearCommError(THandle h, std::uint32_t* errors, TComStat* stat) {
  const auto port = Find(h);
  return port && port->ClearError(errors, stat);
}

bool PosixSerialApi::PurgeComm(THandle h, std::uint32_t flags) {
  const auto port = Find(h);
  return port && port->Purge(flags);
}

bool PosixSerialApi::EscapeCommFunction(THandle h, std::uint32_t function) {
  const auto port = Find(h);
  return port && port->Escape(function);
}

bool PosixSerialApi::WaitForReceived(THandle h, std::uint32_t count, std::int64_t timeoutUs) {
  const auto port = Find(h);
  return port && port->WaitReceived(count, timeoutUs);
}

int PosixSerialApi::LowLatencyRefusal(THandle h) {
  const auto port = Find(h);
  return port ? port->LowLatencyError() : -1;
}

std::uint32_t PosixSerialApi::GetLastError() {
  return LastError();
}

std::string PosixSerialApi::ErrorText(std::uint32_t code) {
  return posix::ErrorText(code);
}

TErrorKind PosixSerialApi::ErrorKindOf(std::uint32_t code) {
  return posix::ErrorKindOf(code);
}

bool PosixSerialApi::GetVersionExA(TOSVersionInfo& info) {
  info = TOSVersionInfo{};
  info.dwOSVersionInfoSize = sizeof(TOSVersionInfo);
  info.dwPlatformId = kVerPlatformWin32Windows;  // not NT: device names need no prefix
  utsname u{};
  if (::uname(&u) == 0) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.dwBuildNumber = patch;
    std::snprintf(info.szCSDVersion, sizeof info.szCSDVersion, "%s", u.sysname);
  }
  return true;
}

SerialApi& PlatformSerialApi() {
  static PosixSerialApi api;
  return api;
}

}  // namespace serial
