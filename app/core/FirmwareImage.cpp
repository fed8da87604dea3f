#include "app/core/FirmwareImage.h"

namespace comflash {

// Static storage: zero-initialised before any code runs, so no start-up order issue.
FirmwareImageBytes FirmwareImage{};

}  // namespace comflash
