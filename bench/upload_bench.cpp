// Upload timing: the full upload code into the simulated device, against a
// bare write/poll/read loop over the same pseudo-terminal, and the same upload
// paced at 115200 baud against the line time.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/core/UploadSession.h"
#include "framework/Application.h"
#include "framework/MainThreadQueue.h"
#include "tests/support/ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

// The simulated device this benchmark started, ended by its own id.
struct Device {
  testsupport::BackgroundProgram sim;
  std::string path;
  explicit Device(std::vector<std::string> options) : sim(SimArgs(std::move(options))) {
    path = sim.ReadLine().value_or("");
  }
  static std::vector<std::string> SimArgs(std::vector<std::string> options) {
    options.insert(options.begin(), std::string(COMFLASH_BIN_DIR) + "/comflash-sim");
    return options;
  }
};

double UploadSeconds(const std::string& port) {
  struct Silent : comflash::UploadObserver {
    void LogLine(const std::string&) override {}
  } silent;
  comflash::UploadSession session(silent, [] { framework::App().ProcessMessages(); });
  session.OpenPort(port);
  session.Port().PurgeAll();
  static comflash::FirmwareImageBytes image{};
  const auto t0 = Clock::now();
  const auto outcome = session.Run(image);
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  session.Port().Close();
  if (outcome != comflash::UploadOutcome::Completed) std::fprintf(stderr, "upload failed\n");
  return s;
}

double BareLoopSeconds(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  unsigned char frame[1028] = {0x33, 0x33};
  unsigned char reply[3];
  auto exchange = [&](int n) {
    for (int done = 0; done < n;) done += static_cast<int>(write(fd, frame + done, n - done));
    for (int got = 0; got < 3;) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 5000);
      got += static_cast<int>(read(fd, reply + got, 3 - got));
    }
  };
  const auto t0 = Clock::now();
  exchange(2);
  for (int n = 3; n <= 125; ++n) {
    frame[0] = 0x11;
    frame[1] = frame[2] = static_cast<unsigned char>(n);
    unsigned char x = 0;
    for (int i = 0; i < 1027; ++i) x ^= frame[i];
    frame[1027] = x;
    exchange(1028);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  close(fd);
  return s;
}

}  // namespace

int main() {
  framework::SetMainThread();
  const double line = 123.0 * (1028 + 3) * 10 / 115200;
  double upload = 0, bare = 0;
  {
    Device d({});
    upload = UploadSeconds(d.path);
  }
  {
    Device d({});
    bare = BareLoopSeconds(d.path);
  }
  std::printf(
      "unpaced: upload %.1f ms (%.3f ms/block), bare loop %.1f ms (%.3f ms/block), "
      "ratio %.2f\n",
      upload * 1e3, upload * 1e3 / 123, bare * 1e3, bare * 1e3 / 123, upload / bare);
  double paced = 0;
  {
    Device d({"--baud", "115200"});
    paced = UploadSeconds(d.path);
  }
  std::printf("paced at 115200 baud: upload %.2f s, line time %.2f s, ratio %.3f\n", paced, line,
              paced / line);
  return 0;
}
