// Kept apart: the kernel's termios2 header cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tools/common/SystemError.h"

namespace mcu {

unsigned TerminalBaud(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) throw tools::SystemError("TCGETS2");
  struct Speed {
    tcflag_t code;
    unsigned baud;
  };
  static constexpr Speed kSpeeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  for (const auto& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;  // B0: the line is hung up
}

}  // namespace mcu
