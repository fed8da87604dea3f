// The driver's low-latency mode: received bytes are handed on at once
// instead of after the driver's own delay (a USB adapter's latency timer of
// up to 16 ms per reply, which a stop-and-wait upload pays once per block).
#pragma once

namespace serial::posix {

// Asks the driver of fd for low latency. 0 when it is on (or already was),
// else the errno of the refusal: ENOTTY or EINVAL where the line has no
// serial driver (a pseudo-terminal), EPERM or others where the driver will
// not change it. The line works either way.
int RequestLowLatency(int fd);

}  // namespace serial::posix
