#include "serial/device/posix/LastError.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <type_traits>

namespace serial::posix {
namespace {

thread_local std::uint32_t t_last_error = 0;

std::string StrError(int code, char* buf, std::size_t size) {
  // Both variants of strerror_r: the GNU one returns the text.
  auto text = [&](auto r) -> std::string {
    if constexpr (std::is_same_v<decltype(r), int>) {
      return r == 0 ? std::string(buf) : "Unknown error " + std::to_string(code);
    } else {
      return std::string(r);
    }
  };
  return text(strerror_r(code, buf, size));
}

}  // namespace

std::uint32_t LastError() {
  return t_last_error;
}

bool Fail(std::uint32_t code) {
  t_last_error = code;
  return false;
}

THandle FailOpen(int code) {
  Fail(code);
  return kInvalidHandle;
}

bool IsHangUpError(int e) {
  return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE;
}

std::string ErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorOperationAborted:
      return "The I/O operation was aborted";
    case kErrorIoIncomplete:
      return "The I/O operation has not completed";
    case kErrorIoPending:
      return "The I/O operation is in progress";
    default:
      break;
  }
  if (code > static_cast<std::uint32_t>(INT_MAX)) return "Unknown error " + std::to_string(code);
  char buf[256];
  return StrError(static_cast<int>(code), buf, sizeof buf);
}

TErrorKind ErrorKindOf(std::uint32_t code) {
  switch (static_cast<int>(code)) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return TErrorKind::ekNotFound;
    case EBUSY:
    case EWOULDBLOCK:
      return TErrorKind::ekBusy;
    case EACCES:
    case EPERM:
      return TErrorKind::ekNoPermission;
    case EIO:
    case EPIPE:
      return TErrorKind::ekHungUp;
    default:
      return TErrorKind::ekOther;
  }
}

}  // namespace serial::posix
