// Soak of the port's lifecycle: cycles of open, a handshake with the simulated device and
// close, first on one port object and then on a fresh object per cycle. Descriptors
// (/proc/self/fd), threads (/proc/self/task) and heap in use are counted before and after;
// any growth fails the run. Built with AddressSanitizer, LeakSanitizer checks at exit too.
//
//   soak [--mode one|fresh|both] [CYCLES]      (default both, 1000 cycles per mode)
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/core/BootloaderLink.h"
#include "app/core/PortSettings.h"
#include "framework/Application.h"
#include "framework/MainThreadQueue.h"
#include "serial/VaComm.h"

#if defined(__SANITIZE_ADDRESS__)
#define COMFLASH_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COMFLASH_SOAK_ASAN 1
#endif
#endif
#ifdef COMFLASH_SOAK_ASAN
// From the sanitizer runtime; declared here since g++ ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::size_t CountEntries(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
  return n;
}

// Live heap bytes: the sanitizer's count in an ASan build, glibc's otherwise.
std::size_t HeapInUse() {
#ifdef COMFLASH_SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

struct Counts {
  std::size_t fds;
  std::size_t threads;
  std::size_t heap;
};

Counts Take() {
  // The directory iterator's own descriptor is open while it counts, the same both times.
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), HeapInUse()};
}

// comflash-sim as a child process, its output in a file so that nobody has to drain a pipe.
class SimDevice {
 public:
  SimDevice() {
    char name[] = "/tmp/comflash-soak-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    out_ = name;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(fd, STDOUT_FILENO);
      const std::string program = std::string(COMFLASH_BIN_DIR) + "/comflash-sim";
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fd);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (path_.empty() && Clock::now() < deadline) {
      std::ifstream in(out_);
      std::string line;
      if (std::getline(in, line) && in) path_ = line;  // a whole first line only
      if (path_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (path_.empty()) throw std::runtime_error("comflash-sim did not start");
  }
  ~SimDevice() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    std::error_code ec;
    fs::remove(out_, ec);
  }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const std::string& Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string out_;
  std::string path_;
};

// The application's settings, on the simulator's line.
void Configure(serial::TVaComm& port, const std::string& path) {
  comflash::ApplyPortSettings(port);
  port.SetDeviceName(path);
}

// One cycle's exchange: the greeting handed over in one piece (so no transmit-empty
// notification can hold half of it back), and the device's three-byte answer.
bool Exchange(serial::TVaCustomComm& port) {
  const std::uint8_t greeting[] = {comflash::kHandshakeByte, comflash::kHandshakeByte};
  if (port.WriteBytes(greeting, 2) != 2) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(comflash::kHandshakeLimitMs);
  while (port.InQueueCount() < 3 && Clock::now() < deadline) {
    framework::App().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::uint8_t answer[3] = {};
  if (port.ReadBytes(answer, 3) != 3) return false;
  return answer[0] == comflash::kAckStart && answer[1] == comflash::kHandshakeByte &&
         answer[2] == comflash::kAckEnd;
}

struct Result {
  int cycles = 0;
  int acknowledged = 0;
  double seconds = 0;
  Counts before{};
  Counts after{};
};

Result Soak(const std::string& path, bool oneObject, int cycles) {
  // First use sets up what stays for the program's life (locale, thread-local state).
  for (int i = 0; i < 3; ++i) {
    serial::TVaComm port(nullptr);
    Configure(port, path);
    port.Open();
    Exchange(port);
    port.Close();
  }
  Result r;
  r.cycles = cycles;
  r.before = Take();
  const auto t0 = Clock::now();
  std::unique_ptr<serial::TVaComm> kept;
  if (oneObject) {
    kept = std::make_unique<serial::TVaComm>(nullptr);
    Configure(*kept, path);
  }
  for (int i = 0; i < cycles; ++i) {
    std::unique_ptr<serial::TVaComm> fresh;
    serial::TVaComm* port = kept.get();
    if (!port) {
      fresh = std::make_unique<serial::TVaComm>(nullptr);
      Configure(*fresh, path);
      port = fresh.get();
    }
    port->Open();
    port->PurgeAll();
    if (Exchange(*port)) ++r.acknowledged;
    port->Close();
  }
  kept.reset();
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.after = Take();
  return r;
}

// Heap growth allowed over a whole soak. The sanitizer counts live bytes exactly: none. The C
// library's count also moves with its per-thread caches and arenas (two threads start and end
// per cycle): measured about 900 bytes once and a few bytes per cycle after, with the
// sanitizer's count unchanged. Allowed: 1 KiB plus half of its smallest block per cycle, so an
// object lost every cycle still fails.
#ifdef COMFLASH_SOAK_ASAN
constexpr std::size_t kHeapSlack = 0;
constexpr std::size_t kHeapSlackPerCycle = 0;
#else
constexpr std::size_t kHeapSlack = 1024;
constexpr std::size_t kHeapSlackPerCycle = 16;
#endif

bool Report(const char* mode, const Result& r) {
  const bool ok = r.acknowledged == r.cycles && r.after.fds == r.before.fds &&
                  r.after.threads == r.before.threads &&
                  r.after.heap <= r.before.heap + kHeapSlack +
                                      kHeapSlackPerCycle * static_cast<std::size_t>(r.cycles);
  std::printf(
      "soak %-5s %d cycles in %.1f s, %d handshakes acknowledged; descriptors %zu -> %zu, "
      "threads %zu -> %zu, heap in use %zu -> %zu bytes: %s\n",
      mode, r.cycles, r.seconds, r.acknowledged, r.before.fds, r.after.fds, r.before.threads,
      r.after.threads, r.before.heap, r.after.heap, ok ? "ok" : "FAILED");
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "both";
  int cycles = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mode" && i + 1 < argc) {
      mode = argv[++i];
    } else if (arg.find_first_not_of("0123456789") == std::string::npos && !arg.empty()) {
      cycles = std::atoi(arg.c_str());
    } else {
      std::fprintf(stderr, "usage: soak [--mode one|fresh|both] [CYCLES]\n");
      return 64;
    }
  }
  if (mode != "one" && mode != "fresh" && mode != "both") {
    std::fprintf(stderr, "soak: unknown mode %s\n", mode.c_str());
    return 64;
  }
  framework::SetMainThread();
  bool ok = true;
  try {
    SimDevice device;
    if (mode != "fresh") ok = Report("one", Soak(device.Path(), true, cycles)) && ok;
    if (mode != "one") ok = Report("fresh", Soak(device.Path(), false, cycles)) && ok;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
