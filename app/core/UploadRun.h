// The upload run: drain, greet the bootloader, then send blocks 3 to 125 of
// the image, each tried up to six times, and report in the log.
#pragma once

#include <cstdint>
#include <functional>

#include "app/core/BootloaderLink.h"
#include "app/core/FirmwareImage.h"

namespace comflash {

inline constexpr unsigned kFirstBlock = 3;
inline constexpr unsigned kLastBlock = 125;
inline constexpr int kAttemptsPerBlock = 6;
inline constexpr int kDrainCount = 256;

// What the run needs of the window besides the port: the three controls it
// disables while it runs, and the log.
struct UploadControls {
  std::function<void(bool enabled)> SetSwitchEnabled;        // CheckBox1
  std::function<void(bool enabled)> SetFileButtonEnabled;    // Button1
  std::function<void(bool enabled)> SetUploadButtonEnabled;  // Button3
  std::function<void()> ClearLog;
};

enum class UploadOutcome { HandshakeRefused, Completed, BlockFailed };

// Told after every block write, for progress displays.
struct BlockAttempt {
  unsigned block;
  int attempt;  // 1 to 6
  bool accepted;
};
using BlockObserver = std::function<void(const BlockAttempt&)>;

// Runs one upload. Every way out, an exception from the port included,
// enables the three controls again (upload button, file button, switch).
UploadOutcome RunUpload(serial::TVaCustomComm& port, BootloaderLink& link,
                        const FirmwareImageBytes& image, const UploadControls& controls,
                        const LogSink& log, const ProcessMessagesHook& processMessages,
                        const BlockObserver& observer = {});

}  // namespace comflash
