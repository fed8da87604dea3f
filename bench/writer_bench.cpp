// Throughput of WriteBytes through the writer thread into a pseudo-terminal
// read by a second thread, against a bare write() loop; and the process's CPU
// time while an open port sits idle.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "framework/MainThreadQueue.h"
#include "serial/VaComm.h"
#include "tools/common/PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTotal = 64u * 1024 * 1024;

// Reads n bytes from fd on a thread of its own.
std::thread Reader(int fd, std::size_t n) {
  return std::thread([fd, n] {
    std::vector<char> buf(65536);
    for (std::size_t got = 0; got < n;) {
      const ssize_t r = read(fd, buf.data(), buf.size());
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
  });
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
  framework::SetMainThread();
  std::vector<std::uint8_t> piece(1024, 0x5A);
  double viaPort = 0, bare = 0;
  {
    tools::PtyPair pty;
    serial::TVaComm port(nullptr);
    port.SetDeviceName(pty.SlavePath());
    port.Buffers().SetWriteTimeout(10000);
    port.Open();
    auto reader = Reader(pty.Master(), kTotal);
    const auto t0 = Clock::now();
    for (std::size_t sent = 0; sent < kTotal; sent += piece.size())
      port.WriteBytes(piece.data(), static_cast<std::int32_t>(piece.size()));
    reader.join();
    viaPort = std::chrono::duration<double>(Clock::now() - t0).count();
    port.Close();
  }
  {
    tools::PtyPair pty;
    const int fd = pty.Slave();  // raw, as the port sets its line
    auto reader = Reader(pty.Master(), kTotal);
    const auto t0 = Clock::now();
    for (std::size_t sent = 0; sent < kTotal;) {
      const ssize_t w = write(fd, piece.data(), piece.size());
      if (w > 0) sent += static_cast<std::size_t>(w);
    }
    reader.join();
    bare = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  const double mib = kTotal / 1048576.0;
  std::printf("writer thread: %.1f MiB/s; bare write(): %.1f MiB/s; ratio %.2f\n", mib / viaPort,
              mib / bare, viaPort / bare);

  {
    tools::PtyPair pty;
    serial::TVaComm port(nullptr);
    port.SetDeviceName(pty.SlavePath());
    port.Open();
    const double c0 = CpuSeconds();
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::seconds(5)) framework::CheckSynchronize(100);
    const double c1 = CpuSeconds();
    port.Close();
    std::printf("idle open port: %.1f ms of process CPU time over 5 s\n", (c1 - c0) * 1e3);
  }
  return 0;
}
