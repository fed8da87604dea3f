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

// 0 for a record a terminal can carry; EINVAL for one that is impossible on
// any line, EOPNOTSUPP for one that asks for what a terminal cannot do.
// Touches no line.
int CheckDcb(const TDCB& d);

// Writes a record that CheckDcb accepted to the line and reads back what
// the line holds; 0 or an errno value (EOPNOTSUPP: the driver did not take
// a part of it). On failure the line is left as it was.
int ApplyDcb(int fd, const TDCB& d);

// Sets or clears a modem line (TIOCM_*); 0 or an errno value. Drivers
// without modem lines (pseudo-terminals) count as success.
int SetModemLine(int fd, int bit, bool on);

// The settings a line had before this process opened it, put back when the
// process lets the line go: a console or another program on the line finds
// it as it left it. Up to 64 lines at a time are remembered.
void RememberLineSettings(int fd, const termios& before);
// Puts the remembered settings of fd back (now, without waiting for output)
// and forgets them; nothing for a line not remembered. After a hang-up this
// fails, and there is nothing to put back.
void RestoreLineSettings(int fd);
// For a process that ends at once (a second interruption): every remembered
// line back to its settings and out of exclusive mode. Async-signal-safe.
void ReleaseLinesAtExit();

}  // namespace serial::posix
