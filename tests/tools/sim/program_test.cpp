// comflash-sim end to end on a real pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "serial/device/posix/PortMap.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/tools/sim/SimFrames.h"

namespace {

using namespace std::chrono_literals;
using namespace simtest;
using testsupport::BackgroundProgram;

// ---------------------------------------------------------------------------
// The program, end to end.

const std::string kSim = COMFLASH_BIN_DIR "/comflash-sim";

std::vector<std::string> SimArgv(std::vector<std::string> args) {
  args.insert(args.begin(), kSim);
  return args;
}

// comflash-sim with its stdin on a pipe the test holds.
class SimProcess : public BackgroundProgram {
 public:
  explicit SimProcess(std::vector<std::string> args)
      : BackgroundProgram(SimArgv(std::move(args)), /*withStdin=*/true) {}
};

// The host's end: the slave opened raw with plain termios calls.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);  // TCSANOW: keep what is already queued
  }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  ~HostPort() { close(fd_); }
  int Fd() const { return fd_; }

  void Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t r = write(fd_, bytes.data() + done, bytes.size() - done);
      if (r < 0) throw std::runtime_error("write to the slave failed");
      done += static_cast<std::size_t>(r);
    }
  }

  Bytes Read(std::size_t n, std::chrono::milliseconds timeout = 2s) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[2048];
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

 private:
  int fd_ = -1;
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(SimProgram, ServesHandshakeAndBlocksAcrossReopenAndDumps) {
  testsupport::TempDir dir{"comflash-sim-test"};
  const std::string dump = dir / "memory.bin";
  SimProcess simp({"--dump", dump, "--refuse", "4:1"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  ASSERT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
  {
    HostPort host(*path);
    host.Write(kHandshake);
    EXPECT_EQ(host.Read(3), kHandshakeAck);
    host.Write(Frame(3, Data(1)));
    EXPECT_EQ(host.Read(3), kBlockAck);
    EXPECT_TRUE(simp.WaitForLine("BLOCK 3 OK")) << simp.Seen();
    // The dump is there by the time the acknowledgement is.
    const Bytes memory = ReadFile(dump);
    ASSERT_EQ(memory.size(), sim::kMemorySize);
    EXPECT_EQ(Slice(memory, 3 * 1024, 4 * 1024), Data(1));
  }
  // The host closed its port: the line stays up for the next open.
  {
    HostPort host(*path);
    host.Write(Frame(4, Data(2)));
    EXPECT_EQ(host.Read(3), kRefused);
    host.Write(Frame(4, Data(2)));
    EXPECT_EQ(host.Read(3), kBlockAck);
  }
  EXPECT_TRUE(simp.WaitForLine("BLOCK 4 OK")) << simp.Seen();
  EXPECT_EQ(simp.Terminate(), 0);
  EXPECT_EQ(simp.Seen(),
            "[" + *path + "] [HANDSHAKE] [BLOCK 3 OK] [BLOCK 4 REFUSED] [BLOCK 4 OK] ");

  const Bytes memory = ReadFile(dump);
  ASSERT_EQ(memory.size(), sim::kMemorySize);
  EXPECT_EQ(Slice(memory, 3 * 1024, 4 * 1024), Data(1));
  EXPECT_EQ(Slice(memory, 4 * 1024, 5 * 1024), Data(2));
  EXPECT_TRUE(
      std::all_of(memory.begin(), memory.begin() + 3 * 1024, [](auto v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(memory.begin() + 5 * 1024, memory.end(), [](auto v) { return v == 0; }));
  EXPECT_FALSE(std::filesystem::exists(dump + ".tmp"));
}

TEST(SimProgram, MapsItselfAsAComPortUntilItEnds) {
  testsupport::ScopedPortMap ports;
  SimProcess simp({"--as", "COM5"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  const auto link = std::filesystem::path(ports.Folder()) / "com5";
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link), *path);
  EXPECT_EQ(serial::ResolvePortName("COM5"), link.string());
  {
    HostPort host(serial::ResolvePortName("COM5"));
    host.Write(kHandshake);
    EXPECT_EQ(host.Read(3), kHandshakeAck);
  }
  EXPECT_EQ(simp.Terminate(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimProgram, DropAfterHangsTheLineUpAfterTheAcknowledgement) {
  testsupport::TempDir dir{"comflash-sim-test"};
  testsupport::ScopedPortMap ports;
  SimProcess simp({"--drop-after", "3", "--dump", dir / "m.bin", "--as", "COM7"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  HostPort host(*path);
  host.Write(Frame(3, Data(4)));
  EXPECT_EQ(host.Read(3), kBlockAck);  // read in full before the hang-up

  pollfd p{host.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
  std::uint8_t b;
  const ssize_t r = read(host.Fd(), &b, 1);
  EXPECT_TRUE(r == 0 || (r < 0 && errno == EIO)) << r;
  EXPECT_LT(write(host.Fd(), "\x33", 1), 0);
  EXPECT_EQ(errno, EIO);

  EXPECT_TRUE(simp.WaitForLine("DROP")) << simp.Seen();
  EXPECT_EQ(simp.Wait(2s), 0);  // ends by itself
  EXPECT_EQ(Slice(ReadFile(dir / "m.bin"), 3 * 1024, 4 * 1024), Data(4));
  EXPECT_FALSE(std::filesystem::exists(
      std::filesystem::symlink_status(std::filesystem::path(ports.Folder()) / "com7")));
}

TEST(SimProgram, NoiseWaitsOnTheLineAndComesAgainOnSignal) {
  SimProcess simp({"--noise", "16"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(simp.ReadLine(2s), "NOISE 16");
  HostPort host(*path);
  const Bytes first = host.Read(16);
  EXPECT_EQ(first.size(), 16u);
  EXPECT_EQ(std::count(first.begin(), first.end(), 0x55), 0);

  kill(simp.Pid(), SIGUSR1);
  EXPECT_EQ(simp.ReadLine(2s), "NOISE 16");
  const Bytes second = host.Read(16);
  EXPECT_EQ(second.size(), 16u);
  EXPECT_NE(second, first);

  // Noise does not disturb the link.
  host.Write(kHandshake);
  EXPECT_EQ(host.Read(3), kHandshakeAck);
}

TEST(SimProgram, AFixtureSwapsBoardsOnSignalAndOnScheduleWithADumpEach) {
  testsupport::TempDir dir{"comflash-sim-test"};
  SimProcess simp({"--off-ms", "300", "--dump", dir / "memory.bin"});
  const std::string dump = dir / "memory.bin";
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path) << "the device did not start";
  HostPort host(*path);
  host.Write(Frame(3, Data(1)));
  EXPECT_EQ(host.Read(3), kBlockAck);

  kill(simp.Pid(), SIGUSR2);
  ASSERT_TRUE(simp.WaitForLine("BOARD 1 OFF")) << simp.Seen();
  host.Write(kHandshake);
  EXPECT_TRUE(host.Read(3, 150ms).empty()) << "an empty fixture says nothing";
  ASSERT_TRUE(simp.WaitForLine("BOARD 2 ON")) << simp.Seen();
  host.Write(kHandshake);
  EXPECT_EQ(host.Read(3), kHandshakeAck) << "the new board answers";
  host.Write(Frame(4, Data(2)));
  EXPECT_EQ(host.Read(3), kBlockAck);
  EXPECT_TRUE(simp.WaitForLine("BLOCK 4 OK")) << simp.Seen();
  EXPECT_EQ(simp.Terminate(), 0);

  const Bytes first = ReadFile(dump);
  const Bytes second = ReadFile(dump + ".2");
  ASSERT_EQ(first.size(), sim::kMemorySize);
  ASSERT_EQ(second.size(), sim::kMemorySize);
  EXPECT_EQ(Slice(first, 3 * 1024, 4 * 1024), Data(1));
  EXPECT_EQ(Slice(first, 4 * 1024, 5 * 1024), Bytes(1024, 0));
  EXPECT_EQ(Slice(second, 3 * 1024, 4 * 1024), Bytes(1024, 0)) << "board 2 started empty";
  EXPECT_EQ(Slice(second, 4 * 1024, 5 * 1024), Data(2));

  // On a schedule: each board stays on for the time given.
  SimProcess timed({"--swap-every", "200", "--off-ms", "100"});
  ASSERT_TRUE(timed.ReadLine(5s).has_value());
  EXPECT_TRUE(timed.WaitForLine("BOARD 1 OFF")) << timed.Seen();
  EXPECT_TRUE(timed.WaitForLine("BOARD 2 ON")) << timed.Seen();
  EXPECT_TRUE(timed.WaitForLine("BOARD 2 OFF")) << timed.Seen();
  EXPECT_TRUE(timed.WaitForLine("BOARD 3 ON")) << timed.Seen();
}

TEST(SimProgram, GapResyncsACutFrame) {
  SimProcess simp({"--gap-ms", "20"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  HostPort host(*path);
  const Bytes frame = Frame(8, Data(3));
  host.Write(Slice(frame, 0, 300));
  EXPECT_TRUE(simp.WaitForLine("RESYNC 300")) << simp.Seen();
  host.Write(frame);
  EXPECT_EQ(host.Read(3), kBlockAck);
  EXPECT_TRUE(simp.WaitForLine("BLOCK 8 OK")) << simp.Seen();
}

TEST(SimProgram, LateAckAndPacedAnswers) {
  SimProcess simp({"--late-ack", "3:300", "--baud", "115200"});
  const auto path = simp.ReadLine(5s);
  ASSERT_TRUE(path.has_value());
  HostPort host(*path);
  const auto t0 = std::chrono::steady_clock::now();
  host.Write(Frame(3, Data(1)));
  EXPECT_TRUE(host.Read(3, 200ms).empty());
  EXPECT_EQ(host.Read(3, 2s), kBlockAck);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);

  // 1031 bytes at 115200 baud: never sooner than 89 ms.
  const auto t1 = std::chrono::steady_clock::now();
  host.Write(Frame(4, Data(1)));
  EXPECT_EQ(host.Read(3), kBlockAck);
  EXPECT_GE(std::chrono::steady_clock::now() - t1, 89ms);
}

TEST(SimProgram, EndsAtEndOfStdinWhenAsked) {
  SimProcess simp({"--stdin-exit"});
  ASSERT_TRUE(simp.ReadLine(5s).has_value());
  simp.CloseStdin();
  EXPECT_EQ(simp.Wait(2s), 0);
}

TEST(SimProgram, UsageErrorsAndHelp) {
  {
    SimProcess simp({"--handshake", "loud"});
    EXPECT_EQ(simp.Wait(2s), 64);
    EXPECT_FALSE(simp.ReadLine(100ms).has_value());  // no path line
  }
  {
    SimProcess simp({"--help"});
    std::string help;
    while (const auto line = simp.ReadLine(2s)) help += *line + "\n";
    EXPECT_NE(help.find("Usage: comflash-sim [OPTIONS]"), std::string::npos) << help;
    EXPECT_NE(help.find("--refuse N:K"), std::string::npos) << help;
    EXPECT_NE(help.find("Exit status: 0 when ended as above"), std::string::npos) << help;
    EXPECT_EQ(simp.Wait(2s), 0);
  }
}

}  // namespace
