#include "tools/common/ToolMain.h"

#include <fcntl.h>

namespace tools {

bool FillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

}  // namespace tools
