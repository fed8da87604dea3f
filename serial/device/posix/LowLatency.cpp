#include "serial/device/posix/LowLatency.h"

#include <cerrno>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace serial::posix {

int RequestLowLatency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return errno;
  if (ss.flags & ASYNC_LOW_LATENCY) return 0;
  ss.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &ss) != 0) return errno;
  return 0;
#else
  (void)fd;
  return ENOTSUP;
#endif
}

}  // namespace serial::posix
