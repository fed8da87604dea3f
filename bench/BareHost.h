// The bare host the benchmarks hold the flasher against: the least a program
// can do on this link. Raw mode, write the request, block in poll() until
// three reply bytes are in, read them; the zero image's requests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "bench/ZeroUpload.h"

namespace bench {

inline int RawOpen(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

inline void BareUpload(int fd) {
  unsigned char reply[3];
  SendZeroImage([&](const unsigned char* frame, int n) {
    for (int done = 0; done < n;) done += static_cast<int>(write(fd, frame + done, n - done));
    for (int got = 0; got < 3;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      got += static_cast<int>(read(fd, reply + got, 3 - got));
    }
  });
}

}  // namespace bench
