// The upload run: drain, greet the bootloader, then send blocks 3 to 125 of
// the image, each tried up to six times, and report in the log.
#pragma once

#include <cstdint>

#include "app/core/BootloaderLink.h"
#include "app/core/FirmwareImage.h"
#include "app/core/UploadObserver.h"

namespace comflash {

inline constexpr unsigned kFirstBlock = 3;
inline constexpr unsigned kLastBlock = 125;
inline constexpr int kAttemptsPerBlock = 6;
inline constexpr int kDrainCount = 256;

enum class UploadOutcome { HandshakeRefused, Completed, BlockFailed };

// Runs one upload over the link's port. The observer hears the start (after
// the drain), the run's own log lines, every block attempt, and the end on
// every way out, an exception from the port included.
UploadOutcome RunUpload(serial::TVaCustomComm& port, BootloaderLink& link,
                        const FirmwareImageBytes& image, UploadObserver& observer,
                        const ProcessMessagesHook& processMessages);

}  // namespace comflash
