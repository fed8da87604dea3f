#include "app/core/UploadRun.h"

namespace comflash {

UploadOutcome RunUpload(serial::TVaCustomComm& port, BootloaderLink& link,
                        const FirmwareImageBytes& image, UploadObserver& observer,
                        const ProcessMessagesHook& processMessages) {
  std::uint8_t scratch = 0;
  for (int i = 0; i < kDrainCount; ++i) port.ReadByte(scratch);

  observer.RunStarted();
  try {
    port.PurgeAll();
    if (!link.DeviceReady()) {
      observer.RunEnded();
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
        observer.BlockAttempted({n, attempt, accepted, link.LastReply(), link.LastReplyBytes()});
      }
      if (!accepted) {
        observer.LogLine("Ошибка записи!!!");
        outcome = UploadOutcome::BlockFailed;
        break;
      }
    }
    observer.LogLine("Процесс прошивки закончен, брат!");
    observer.RunEnded();
    return outcome;
  } catch (...) {
    // A port error must not leave the switch and the buttons dead for good.
    observer.RunEnded();
    throw;
  }
}

}  // namespace comflash
