#include "app/core/PortSettings.h"

namespace comflash {

void ApplyPortSettings(serial::TVaComm& port) {
  port.SetBaudrate(serial::br115200);
  serial::TVaFlowControl& flow = port.FlowControl();
  flow.SetOutCtsFlow(false);
  flow.SetOutDsrFlow(false);
  flow.SetControlDtr(serial::dtrDisabled);
  flow.SetControlRts(serial::rtsDisabled);
  flow.SetXonXoffOut(false);
  flow.SetXonXoffIn(false);
  flow.SetDsrSensitivity(false);
  flow.SetTxContinueOnXoff(false);
  // Never opened by this name: a port is always named before it opens.
  port.SetDeviceName("\\\\.\\COM4");
  port.SetVersion("1.8.0.0");
  port.Loaded();
}

}  // namespace comflash
