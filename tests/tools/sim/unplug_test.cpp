// comflash-sim's adapter that comes off with the board: the host's port, opened
// by its COM name through the termios back end, sees the line hang up, the
// name is gone while the fixture is empty, and the next board answers on a
// new terminal under the same name.
#include <signal.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/PlatformEvent.h"
#include "serial/device/posix/PortMap.h"
#include "serial/device/posix/PosixSerialApi.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/tools/sim/SimFrames.h"

namespace {

using namespace std::chrono_literals;
using namespace simtest;
namespace fs = std::filesystem;
using serial::PosixSerialApi;
using serial::THandle;

const std::string kSim = COMFLASH_BIN_DIR "/comflash-sim";
// Long enough that the checks made while the fixture is empty are over
// before the next board comes, on a busy machine too.
const std::string kOffMs = "1500";

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// An overlapped record with an event of its own.
struct Request {
  Request() { ov.hEvent = event; }
  ~Request() { serial::platform_event::Destroy(event); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  serial::EventHandle event = serial::platform_event::Create();
  serial::TOverlapped ov{};
};

// The host: ports opened by name as the flasher opens them.
class Host {
 public:
  THandle Open(const std::string& name) {
    return api_.CreateFileA(name, serial::kGenericReadWrite, 0, serial::kOpenExisting,
                            serial::kFileFlagOverlapped);
  }
  std::uint32_t LastError() { return api_.GetLastError(); }
  std::string LastErrorText() { return api_.ErrorText(api_.GetLastError()); }
  serial::TErrorKind LastErrorKind() { return api_.ErrorKindOf(api_.GetLastError()); }
  void Close(THandle h) { EXPECT_TRUE(api_.CloseHandle(h)); }

  bool Write(THandle h, const Bytes& bytes) {
    Request r;
    std::uint32_t n = 0;
    if (api_.WriteFile(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n, &r.ov))
      return n == bytes.size();
    if (api_.GetLastError() != serial::kErrorIoPending) return false;
    if (serial::platform_event::Wait(r.event, 2000) != 0) {
      api_.CancelIoEx(h, &r.ov);
      api_.GetOverlappedResult(h, &r.ov, &n, true);
      return false;
    }
    return api_.GetOverlappedResult(h, &r.ov, &n, false) && n == bytes.size();
  }

  // Up to n bytes, those that come within the time.
  Bytes Read(THandle h, std::size_t n, std::chrono::milliseconds timeout = 2s) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
      std::uint32_t errors = 0;
      serial::TComStat s{};
      if (!api_.ClearCommError(h, &errors, &s)) break;
      if (s.cbInQue == 0) {
        std::this_thread::sleep_for(2ms);
        continue;
      }
      Bytes chunk(std::min<std::size_t>(s.cbInQue, n - out.size()));
      Request r;
      std::uint32_t got = 0;
      if (!api_.ReadFile(h, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &got, &r.ov))
        break;
      out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    }
    return out;
  }

  Bytes Exchange(THandle h, const Bytes& request) {
    if (!Write(h, request)) return {};
    return Read(h, 3);
  }

  // Whether the port finds its line hung up within the time: the status
  // reports the I/O failure, and a write then fails as on a removed adapter.
  bool SeesHangUp(THandle h) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::uint32_t errors = 0;
      serial::TComStat s{};
      if (!api_.ClearCommError(h, &errors, &s) || (errors & PosixSerialApi::kCeIoError)) {
        Request r;
        std::uint32_t n = 0;
        return !api_.WriteFile(h, "\x33", 1, &n, &r.ov) && api_.GetLastError() == EIO;
      }
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

 private:
  PosixSerialApi api_;
};

// The next line that starts with "PLUGGED ": the new terminal's path.
std::optional<std::string> PluggedPath(testsupport::BackgroundProgram& simp) {
  const auto line = simp.ReadLine(5s);
  if (!line || line->rfind("PLUGGED ", 0) != 0) return std::nullopt;
  return line->substr(8);
}

// A COM name whose fallback device does not exist, so that without its
// link opening it fails "not found".
constexpr const char* kCom = "COM241";
constexpr const char* kComLink = "com241";
constexpr const char* kComFallback = "/dev/ttyS240";

class SimUnplug : public ::testing::Test {
 protected:
  // Starts the device with its adapter mapped as COM241; the test goes on
  // unless this skipped or failed it.
  void StartOnCom() {
    if (fs::exists(kComFallback))
      GTEST_SKIP() << kComFallback << " exists here: COM241 would open it";
    sim_ = std::make_unique<testsupport::BackgroundProgram>(
        std::vector<std::string>{kSim, "--unplug-with-board", "--as", kCom, "--off-ms", kOffMs,
                                 "--dump", dump_},
        true);
    first_ = sim_->ReadLine(5s);
    ASSERT_TRUE(first_) << "the device did not start";
    link_ = fs::path(ports_.Folder()) / kComLink;
  }

  testsupport::TempDir dir_{"comflash-sim-unplug"};
  testsupport::ScopedPortMap ports_;
  const std::string dump_ = dir_ / "memory.bin";
  std::unique_ptr<testsupport::BackgroundProgram> sim_;
  std::optional<std::string> first_;
  fs::path link_;
};

TEST_F(SimUnplug, ABoardSwapPullsTheAdapterAndTheNextBoardComesOnANewTerminal) {
  StartOnCom();
  if (IsSkipped() || HasFatalFailure()) return;
  auto& simp = *sim_;
  const auto& first = first_;
  const auto& link = link_;
  const auto& dump = dump_;
  ASSERT_EQ(fs::read_symlink(link), *first);

  Host host;
  THandle h = host.Open(kCom);
  ASSERT_NE(h, serial::kInvalidHandle) << host.LastErrorText();
  ASSERT_EQ(host.Exchange(h, Frame(3, Data(1))), kBlockAck);
  ASSERT_TRUE(simp.WaitForLine("BLOCK 3 OK")) << simp.Seen();

  simp.Signal(SIGUSR2);
  ASSERT_EQ(simp.ReadLine(2s), "BOARD 1 OFF") << simp.Seen();
  ASSERT_EQ(simp.ReadLine(2s), "UNPLUGGED") << simp.Seen();
  EXPECT_TRUE(host.SeesHangUp(h)) << "the open port did not see its line hang up";
  // Meanwhile the name leads nowhere.
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  const THandle meanwhile = host.Open(kCom);
  EXPECT_EQ(meanwhile, serial::kInvalidHandle);
  if (meanwhile != serial::kInvalidHandle) {
    host.Close(meanwhile);
  } else {
    EXPECT_EQ(host.LastErrorKind(), serial::TErrorKind::ekNotFound) << host.LastErrorText();
  }

  const auto second = PluggedPath(simp);
  ASSERT_TRUE(second) << simp.Seen();
  // The host still holds the old terminal, so the new one is another.
  EXPECT_NE(*second, *first);
  EXPECT_EQ(fs::read_symlink(link), *second);
  EXPECT_EQ(simp.ReadLine(2s), "BOARD 2 ON") << simp.Seen();
  host.Close(h);

  h = host.Open(kCom);
  ASSERT_NE(h, serial::kInvalidHandle) << host.LastErrorText();
  EXPECT_EQ(host.Exchange(h, kHandshake), kHandshakeAck) << "the new board answers";
  EXPECT_EQ(host.Exchange(h, Frame(4, Data(2))), kBlockAck);
  EXPECT_TRUE(simp.WaitForLine("BLOCK 4 OK")) << simp.Seen();
  host.Close(h);
  EXPECT_EQ(simp.Terminate(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the name goes at exit";

  const Bytes board1 = ReadFile(dump);
  const Bytes board2 = ReadFile(dump + ".2");
  ASSERT_EQ(board1.size(), sim::kMemorySize);
  ASSERT_EQ(board2.size(), sim::kMemorySize);
  EXPECT_EQ(Slice(board1, 3 * 1024, 4 * 1024), Data(1));
  EXPECT_EQ(Slice(board2, 3 * 1024, 4 * 1024), Bytes(1024, 0)) << "board 2 came empty";
  EXPECT_EQ(Slice(board2, 4 * 1024, 5 * 1024), Data(2));
}

TEST_F(SimUnplug, HangUpSignalUnplugsTheAdapterAloneAndKeepsTheBoard) {
  StartOnCom();
  if (IsSkipped() || HasFatalFailure()) return;
  auto& simp = *sim_;
  const auto& link = link_;
  const auto& dump = dump_;

  Host host;
  THandle h = host.Open(kCom);
  ASSERT_NE(h, serial::kInvalidHandle) << host.LastErrorText();
  ASSERT_EQ(host.Exchange(h, Frame(3, Data(1))), kBlockAck);

  simp.Signal(SIGHUP);
  ASSERT_TRUE(simp.WaitForLine("UNPLUGGED")) << simp.Seen();
  EXPECT_TRUE(host.SeesHangUp(h));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_EQ(host.Open(kCom), serial::kInvalidHandle);
  host.Close(h);

  const auto second = PluggedPath(simp);
  ASSERT_TRUE(second) << simp.Seen();
  EXPECT_EQ(fs::read_symlink(link), *second);
  h = host.Open(kCom);
  ASSERT_NE(h, serial::kInvalidHandle) << host.LastErrorText();
  EXPECT_EQ(host.Exchange(h, Frame(4, Data(2))), kBlockAck);
  host.Close(h);
  EXPECT_EQ(simp.Terminate(), 0);
  EXPECT_EQ(simp.Seen().find("BOARD"), std::string::npos) << simp.Seen();

  // The same board throughout: one memory with both blocks.
  const Bytes memory = ReadFile(dump);
  ASSERT_EQ(memory.size(), sim::kMemorySize);
  EXPECT_EQ(Slice(memory, 3 * 1024, 4 * 1024), Data(1));
  EXPECT_EQ(Slice(memory, 4 * 1024, 5 * 1024), Data(2));
  EXPECT_FALSE(fs::exists(dump + ".2"));
}

TEST_F(SimUnplug, EveryScheduledSwapUnplugsAndPlugsInOrder) {
  testsupport::BackgroundProgram simp(
      {kSim, "--unplug-with-board", "--swap-every", "150", "--off-ms", "100"}, true);
  ASSERT_TRUE(simp.ReadLine(5s)) << "the device did not start";
  for (int board = 1; board <= 2; ++board) {
    EXPECT_EQ(simp.ReadLine(2s), "BOARD " + std::to_string(board) + " OFF") << simp.Seen();
    EXPECT_EQ(simp.ReadLine(2s), "UNPLUGGED") << simp.Seen();
    const auto path = PluggedPath(simp);
    ASSERT_TRUE(path) << simp.Seen();
    EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
    EXPECT_EQ(simp.ReadLine(2s), "BOARD " + std::to_string(board + 1) + " ON") << simp.Seen();
  }
}

}  // namespace
