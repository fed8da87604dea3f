// The bare host the benchmarks hold the flasher against: the least a program
// can do on this link. Raw mode, write the request, block in poll() until
// three reply bytes are in, read them; the handshake, then blocks 3 to 125
// of an all-zero image.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

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
  unsigned char frame[1028] = {0x33, 0x33};
  unsigned char reply[3];
  auto exchange = [&](int n) {
    for (int done = 0; done < n;) done += static_cast<int>(write(fd, frame + done, n - done));
    for (int got = 0; got < 3;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return;
      got += static_cast<int>(read(fd, reply + got, 3 - got));
    }
  };
  exchange(2);
  for (int n = 3; n <= 125; ++n) {
    frame[0] = 0x11;
    frame[1] = frame[2] = static_cast<unsigned char>(n);
    unsigned char x = 0;
    for (int i = 0; i < 1027; ++i) x ^= frame[i];
    frame[1027] = x;
    exchange(1028);
  }
}

}  // namespace bench
