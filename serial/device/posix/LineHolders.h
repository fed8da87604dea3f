// Who else has a terminal open. A lock (flock) and the terminal's exclusive
// mode keep out programs that ask for them, and TIOCEXCL keeps out
// unprivileged ones; a program that already holds the line open without a
// lock is found only by looking at its open descriptors.
#pragma once

namespace serial::posix {

// Whether another process holds the terminal of fd open. Looks through
// /proc/<pid>/fd of every process this one may look into; skips this
// process, and on a pseudo-terminal the processes that hold its master
// side (they are the device, not another user of the line). Processes of
// other users are seen only with the privilege to read their descriptors;
// without /proc nothing is seen.
bool HeldByAnotherProcess(int fd);

}  // namespace serial::posix
