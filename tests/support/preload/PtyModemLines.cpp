// A test-only preload library for running Windows programs under Wine with a
// pseudo-terminal as their COM port.
//
// Wine's WaitCommEvent reads the modem lines (TIOCMGET) before it waits; a
// pseudo-terminal has none and refuses with ENOTTY, so every event wait ends
// at once as aborted. Here a pseudo-terminal answers the modem-line requests
// like a cable with no lines raised: reading gives 0, setting and clearing
// succeed and change nothing. Every other descriptor and request goes to the
// C library unchanged.
//
// Used only by the Wine test run: LD_PRELOAD=libcomflash_pty_modem_lines.so wine ...
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

IoctlFn NextIoctl() {
  static IoctlFn next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  return next;
}

// UNIX 98 pseudo-terminal slaves have majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);

  if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
      IsPtySlave(fd)) {
    if (request == TIOCMGET) {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      *static_cast<int*>(arg) = 0;
    }
    return 0;
  }
  IoctlFn next = NextIoctl();
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(fd, request, arg);
}
