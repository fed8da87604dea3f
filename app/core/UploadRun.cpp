#include "app/core/UploadRun.h"

namespace comflash {

namespace {
void Call(const std::function<void(bool)>& f, bool v) {
  if (f) f(v);
}

void EnableControls(const UploadControls& c) {
  Call(c.SetUploadButtonEnabled, true);
  Call(c.SetFileButtonEnabled, true);
  Call(c.SetSwitchEnabled, true);
}
}  // namespace

UploadOutcome RunUpload(serial::TVaCustomComm& port, BootloaderLink& link,
                        const FirmwareImageBytes& image, const UploadControls& controls,
                        const LogSink& log, const ProcessMessagesHook& processMessages,
                        const BlockObserver& observer) {
  std::uint8_t scratch = 0;
  for (int i = 0; i < kDrainCount; ++i) port.ReadByte(scratch);

  Call(controls.SetSwitchEnabled, false);
  Call(controls.SetFileButtonEnabled, false);
  Call(controls.SetUploadButtonEnabled, false);
  try {
    if (controls.ClearLog) controls.ClearLog();
    port.PurgeAll();
    if (!link.DeviceReady()) {
      EnableControls(controls);
      return UploadOutcome::HandshakeRefused;
    }
    processMessages();

    UploadOutcome outcome = UploadOutcome::Completed;
    BlockData block;
    for (unsigned n = kFirstBlock; n <= kLastBlock; ++n) {
      std::uint8_t dataXor = 0;
      const std::size_t base = static_cast<std::size_t>(n) * kBlockSize;
      for (std::size_t i = 0; i < kBlockSize; ++i) {
        block[i] = image[base + i];
        dataXor ^= block[i];
      }
      bool accepted = false;
      for (int attempt = 1; attempt <= kAttemptsPerBlock && !accepted; ++attempt) {
        accepted = link.WriteBlock(static_cast<std::uint8_t>(n), block, dataXor);
        if (observer) observer({n, attempt, accepted});
      }
      if (!accepted) {
        log("Ошибка записи!!!");
        outcome = UploadOutcome::BlockFailed;
        break;
      }
    }
    log("Процесс прошивки закончен, брат!");
    EnableControls(controls);
    return outcome;
  } catch (...) {
    // A port error must not leave the switch and the buttons dead for good.
    EnableControls(controls);
    throw;
  }
}

}  // namespace comflash
