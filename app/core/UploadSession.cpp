#include "app/core/UploadSession.h"

#include "app/core/PortSettings.h"

namespace comflash {

UploadSession::UploadSession(UploadObserver& observer, ProcessMessagesHook processMessages,
                             serial::SerialApi& api, MicrosecondClock clock)
    : port_(std::make_unique<serial::TVaComm>(nullptr, api)),
      observer_(observer),
      process_messages_(std::move(processMessages)),
      link_(
          *port_, [this](const std::string& line) { observer_.LogLine(line); },
          [this] { process_messages_(); }, std::move(clock)) {
  ApplyPortSettings(*port_);
}

void UploadSession::OpenPort(const std::string& name) {
  port_->SetDeviceName(name);
  port_->Open();
}

void UploadSession::ResetAndPurge() {
  port_->ResetDevice();
  port_->PurgeAll();
}

UploadOutcome UploadSession::Run(const FirmwareImageBytes& image) {
  return RunUpload(*port_, link_, image, observer_, process_messages_);
}

}  // namespace comflash
