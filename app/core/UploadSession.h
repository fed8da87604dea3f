// One session with the device's bootloader: the port object with the
// application's settings, the link over it, the observer that hears the log
// and the run, and the hook that processes pending messages. The window and
// the command-line flasher both work through it.
#pragma once

#include <memory>
#include <string>

#include "app/core/BootloaderLink.h"
#include "app/core/FirmwareImage.h"
#include "app/core/UploadObserver.h"
#include "app/core/UploadRun.h"
#include "serial/VaComm.h"

namespace comflash {

class UploadSession {
 public:
  UploadSession(UploadObserver& observer, ProcessMessagesHook processMessages,
                serial::SerialApi& api = serial::PlatformSerialApi(),
                MicrosecondClock clock = SteadyMicroseconds);
  UploadSession(const UploadSession&) = delete;
  UploadSession& operator=(const UploadSession&) = delete;

  serial::TVaComm& Port() { return *port_; }
  BootloaderLink& Link() { return link_; }

  // Names the port and opens it; raises the port's error.
  void OpenPort(const std::string& name);
  // Resets the device and purges both directions (nothing on a closed port).
  void ResetAndPurge();
  // One whole upload of image.
  UploadOutcome Run(const FirmwareImageBytes& image);

 private:
  std::unique_ptr<serial::TVaComm> port_;
  UploadObserver& observer_;
  ProcessMessagesHook process_messages_;
  BootloaderLink link_;
};

}  // namespace comflash
