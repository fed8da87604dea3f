// The device control block on a terminal: what a record means in termios
// (framing, flow control, the XON/XOFF characters, the speed, through the
// kernel's termios2 record for rates outside the standard table) and back.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/device/SerialApi.h"

namespace serial::posix {

// A serial line moves bytes untouched: no echo, no line editing, no
// character translation, 8 bits, receiver on, modem status ignored.
void MakeRaw(termios& t);

// The record that describes the line as the kernel holds it in t.
TDCB DcbFromTermios(int fd, const termios& t);

// 0, or EINVAL for a record no terminal can carry.
int CheckDcb(const TDCB& d);

// Writes a record that CheckDcb accepted to the line; 0 or an errno value.
int ApplyDcb(int fd, const TDCB& d);

// Sets or clears a modem line (TIOCM_*); 0 or an errno value. Drivers
// without modem lines (pseudo-terminals) count as success.
int SetModemLine(int fd, int bit, bool on);

}  // namespace serial::posix
