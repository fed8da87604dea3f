// The upload the benchmarks time, in the two forms they need: the requests a
// bare host sends for the zero image (the handshake, then blocks 3 to 125),
// and the same image as the Intel HEX file the flasher reads. Shared by the
// POSIX bare host (upload_bench.cpp) and the Win32 one (win32/).
#pragma once

#include <cstdio>
#include <string>

namespace bench {

// Hands each request to exchange(bytes, count) in turn, which sends it and
// takes its 3-byte reply: the handshake 0x33 0x33, then for each block its
// frame (0x11, the number twice, 1024 zero bytes, the check byte).
template <typename Exchange>
void SendZeroImage(Exchange&& exchange) {
  unsigned char frame[1028] = {0x33, 0x33};
  exchange(frame, 2);
  for (int n = 3; n <= 125; ++n) {
    frame[0] = 0x11;
    frame[1] = frame[2] = static_cast<unsigned char>(n);
    unsigned char x = 0;
    for (int i = 0; i < 1027; ++i) x ^= frame[i];
    frame[1027] = x;
    exchange(frame, 1028);
  }
}

// Writes the zero image as Intel HEX, blocks 3 to 125, to path.
inline void WriteZeroHex(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return;
  unsigned segment = ~0u;
  for (unsigned a = 0x0C00; a < 0x1F800; a += 16) {
    if ((a >> 16) != segment) {
      segment = a >> 16;
      const unsigned sum = (0x100 - ((2 + 4 + segment) & 0xFF)) & 0xFF;
      std::fprintf(f, ":02000004%04X%02X\n", segment, sum);
    }
    const unsigned lo = a & 0xFFFF;
    const unsigned sum = (0x100 - ((16 + (lo >> 8) + (lo & 0xFF)) & 0xFF)) & 0xFF;
    std::fprintf(f, ":10%04X00%s%02X\n", lo, std::string(32, '0').c_str(), sum);
  }
  std::fprintf(f, ":00000001FF\n");
  std::fclose(f);
}

}  // namespace bench
