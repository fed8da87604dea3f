// The simulated bootloader: its engine in-process with made-up time, and the
// comflash-sim program end to end on a real pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "serial/device/PortMap.h"
#include "tests/support/Pty.h"
#include "tools/sim/BootloaderSim.h"
#include "tools/sim/CommandLine.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using sim::BootloaderSim;
using sim::Bytes;
using sim::SimOptions;
using sim::TimePoint;

const Bytes kHandshake = {0x33, 0x33};
const Bytes kHandshakeAck = {0x55, 0x33, 0xAA};
const Bytes kBlockAck = {0x55, 0x11, 0xAA};
const Bytes kRefused = {0x55, 0xEE, 0xAA};

Bytes Data(std::uint8_t seed) {
  Bytes data(sim::kBlockSize);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return data;
}

Bytes Frame(int n, const Bytes& data, int n_again = -1) {
  Bytes f = {0x11, static_cast<std::uint8_t>(n),
             static_cast<std::uint8_t>(n_again < 0 ? n : n_again)};
  f.insert(f.end(), data.begin(), data.end());
  std::uint8_t c = 0;
  for (const auto b : f) c ^= b;
  f.push_back(c);
  return f;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

// ---------------------------------------------------------------------------
// The engine, driven with made-up time.

class SimEngine : public ::testing::Test {
 protected:
  void Make(SimOptions options = {}) { engine_.emplace(std::move(options)); }
  BootloaderSim& E() { return *engine_; }

  void Send(const Bytes& bytes, TimePoint at) { E().Receive(bytes, at); }
  void Send(const Bytes& bytes) { Send(bytes, now_); }

  // Everything due at `at`, concatenated.
  Bytes Answers(TimePoint at) {
    E().Advance(at);
    Bytes out;
    for (const auto& a : E().TakeDueAnswers(at))
      out.insert(out.end(), a.bytes.begin(), a.bytes.end());
    return out;
  }
  Bytes Answers() { return Answers(now_); }

  Bytes BlockAt(int n) {
    const auto& m = E().Memory();
    return Bytes(m.begin() + n * 1024, m.begin() + (n + 1) * 1024);
  }

  const TimePoint now_ = TimePoint{} + 1h;
  std::optional<BootloaderSim> engine_;
};

using Events = std::vector<std::string>;

TEST_F(SimEngine, HandshakeIsAcknowledged) {
  Make();
  Send(kHandshake);
  EXPECT_EQ(Answers(), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), Events{"HANDSHAKE"});
}

TEST_F(SimEngine, HandshakeModes) {
  const std::vector<std::pair<sim::HandshakeMode, Bytes>> cases = {
      {sim::HandshakeMode::kSilent, {}},
      {sim::HandshakeMode::kShort, {0x55, 0x33}},
      {sim::HandshakeMode::kReversed, {0xAA, 0x33, 0x55}},
      {sim::HandshakeMode::kDoubled, {0x55, 0x33, 0xAA, 0x55, 0x33, 0xAA}},
  };
  for (const auto& [mode, expected] : cases) {
    SimOptions o;
    o.handshake = mode;
    Make(o);
    Send(kHandshake);
    EXPECT_EQ(Answers(now_ + 1s), expected) << static_cast<int>(mode);
    EXPECT_EQ(E().TakeEvents(), Events{"HANDSHAKE"});
    EXPECT_FALSE(E().HasPendingAnswers());
  }
}

TEST_F(SimEngine, RequestSplitAcrossReadsWithinTheGap) {
  Make();
  Send({0x33}, now_);
  Send({0x33}, now_ + 50ms);  // a pause of exactly the gap is still one request
  EXPECT_EQ(Answers(now_ + 50ms), kHandshakeAck);

  const Bytes frame = Frame(9, Data(1));
  Send(Slice(frame, 0, 700), now_ + 100ms);
  Send(Slice(frame, 700, frame.size()), now_ + 150ms);
  EXPECT_EQ(Answers(now_ + 150ms), kBlockAck);
  EXPECT_EQ(BlockAt(9), Data(1));
  EXPECT_EQ(E().TakeEvents(), (Events{"HANDSHAKE", "BLOCK 9 OK"}));
}

TEST_F(SimEngine, BlockIsStoredAtItsAddressAndNothingElseChanges) {
  Make();
  EXPECT_FALSE(E().TakeMemoryChanged());
  Send(Frame(7, Data(3)));
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 7 OK"});
  EXPECT_TRUE(E().TakeMemoryChanged());
  EXPECT_FALSE(E().TakeMemoryChanged());

  const auto& m = E().Memory();
  EXPECT_EQ(BlockAt(7), Data(3));
  EXPECT_TRUE(std::all_of(m.begin(), m.begin() + 7 * 1024, [](auto b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(m.begin() + 8 * 1024, m.end(), [](auto b) { return b == 0; }));
}

TEST_F(SimEngine, FirstAndLastBlocksOfTheMemory) {
  Make();
  Send(Frame(0, Data(4)));
  Send(Frame(127, Data(5)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(BlockAt(0), Data(4));
  EXPECT_EQ(BlockAt(127), Data(5));
}

TEST_F(SimEngine, ZeroBlockWithCheckByte0x11IsAccepted) {
  Make();
  Bytes frame = {0x11, 0x03, 0x03};
  frame.resize(3 + 1024, 0x00);
  frame.push_back(0x11);
  Send(frame);
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 3 OK"});
}

TEST_F(SimEngine, BadCheckByteIsRefusedAndStoresNothing) {
  Make();
  Bytes frame = Frame(5, Data(8));
  frame.back() ^= 0x01;
  Send(frame);
  EXPECT_EQ(Answers(), kRefused);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 5 BADXOR"});
  EXPECT_FALSE(E().TakeMemoryChanged());
  EXPECT_EQ(BlockAt(5), Bytes(1024, 0));

  Bytes data_flipped = Frame(5, Data(8));
  data_flipped[500] ^= 0x80;  // a data byte, check byte left as it was
  Send(data_flipped);
  EXPECT_EQ(Answers(), kRefused);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 5 BADXOR"});
}

TEST_F(SimEngine, BadBlockNumberIsRefused) {
  Make();
  Send(Frame(5, Data(1), 6));  // the check byte is right for the bytes sent
  Send(Frame(128, Data(2)));   // beyond the 128 KiB memory
  Send(Frame(255, Data(3)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA}));
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 5 BADNUM", "BLOCK 128 BADNUM", "BLOCK 255 BADNUM"}));
  EXPECT_FALSE(E().TakeMemoryChanged());
  EXPECT_EQ(BlockAt(5), Bytes(1024, 0));
  EXPECT_EQ(BlockAt(6), Bytes(1024, 0));
}

TEST_F(SimEngine, RetriedBlockOverwrites) {
  Make();
  Send(Frame(4, Data(1)));
  Send(Frame(4, Data(2)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(BlockAt(4), Data(2));
}

TEST_F(SimEngine, RefuseCountsIntactFramesOfThatBlockOnly) {
  SimOptions o;
  o.refuse = {{7, 2}};
  Make(o);
  Send(Frame(6, Data(1)));
  Bytes bad = Frame(7, Data(2));
  bad.back() ^= 0xFF;
  Send(bad);  // a damaged frame is no attempt
  Send(Frame(7, Data(2)));
  Send(Frame(7, Data(2)));
  EXPECT_EQ(BlockAt(7), Bytes(1024, 0));
  Send(Frame(7, Data(2)));
  Send(Frame(7, Data(3)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE,
                              0xAA, 0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 6 OK", "BLOCK 7 BADXOR", "BLOCK 7 REFUSED",
                                      "BLOCK 7 REFUSED", "BLOCK 7 OK", "BLOCK 7 OK"}));
  EXPECT_EQ(BlockAt(7), Data(3));
}

TEST_F(SimEngine, GapDropsAPartialFrameAndTheNextFrameIsServed) {
  Make();
  const Bytes frame = Frame(10, Data(6));
  Send(Slice(frame, 0, 500), now_);
  // The deadline lies just past the gap; reaching it closes the partial frame
  // without waiting for another byte.
  const auto deadline = E().NextDeadline();
  ASSERT_TRUE(deadline.has_value());
  EXPECT_GT(*deadline, now_ + 50ms);
  EXPECT_LE(*deadline, now_ + 51ms);
  E().Advance(now_ + 50ms);
  EXPECT_TRUE(E().TakeEvents().empty());
  E().Advance(*deadline);
  EXPECT_EQ(E().TakeEvents(), Events{"RESYNC 500"});
  EXPECT_FALSE(E().NextDeadline().has_value());

  Send(frame, now_ + 200ms);
  EXPECT_EQ(Answers(now_ + 200ms), kBlockAck);
  EXPECT_EQ(BlockAt(10), Data(6));
}

TEST_F(SimEngine, GapNoticedOnTheNextBytesToo) {
  Make();
  const Bytes frame = Frame(11, Data(7));
  Send(Slice(frame, 0, 1027), now_);  // all but the check byte
  Send(frame, now_ + 60ms);           // the host's retry after a purge
  EXPECT_EQ(Answers(now_ + 60ms), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"RESYNC 1027", "BLOCK 11 OK"}));
}

TEST_F(SimEngine, LoneHandshakeByteCutByTheGap) {
  Make();
  Send({0x33}, now_);
  Send(kHandshake, now_ + 100ms);
  EXPECT_EQ(Answers(now_ + 100ms), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"RESYNC 1", "HANDSHAKE"}));
}

TEST_F(SimEngine, BytesStartingNoRequestAreIgnoredAndCounted) {
  Make();
  Send({0x00, 0xFF, 0x55, 0xAA});
  EXPECT_TRUE(E().TakeEvents().empty());  // the run may go on
  Send({0x33, 0x01, 0x33, 0x33});         // a lone 0x33 is ignored too
  EXPECT_EQ(Answers(), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"IGNORED 6", "HANDSHAKE"}));

  // A run is also closed by the gap, or at the end.
  Send({0x01, 0x02}, now_ + 1s);
  E().Advance(now_ + 1s + 51ms);
  EXPECT_EQ(E().TakeEvents(), Events{"IGNORED 2"});
  Send({0x03});
  E().Finish();
  EXPECT_EQ(E().TakeEvents(), Events{"IGNORED 1"});
}

TEST_F(SimEngine, LoneHandshakeByteBeforeAFrame) {
  Make();
  Bytes bytes = {0x33};
  const Bytes frame = Frame(12, Data(9));
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  Send(bytes);
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"IGNORED 1", "BLOCK 12 OK"}));
}

TEST_F(SimEngine, LateAckHoldsTheFirstAttemptAndTheAnswersBehindIt) {
  SimOptions o;
  o.late_ack_block = 4;  // default delay 5200 ms
  Make(o);
  Send(Frame(4, Data(1)), now_);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 4 OK"});
  EXPECT_EQ(E().NextDeadline(), now_ + 5200ms);
  EXPECT_TRUE(Answers(now_ + 5199ms).empty());

  // The host gave up after 5000 ms and sent the block again: its answer
  // queues behind the late one.
  Send(Frame(4, Data(1)), now_ + 5005ms);
  EXPECT_TRUE(Answers(now_ + 5005ms).empty());
  EXPECT_EQ(Answers(now_ + 5200ms), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));

  Send(Frame(4, Data(1)), now_ + 6s);  // later attempts are not delayed
  EXPECT_EQ(Answers(now_ + 6s), kBlockAck);
}

TEST_F(SimEngine, LateAckWithItsOwnDelay) {
  SimOptions o;
  o.late_ack_block = 3;
  o.late_ack_delay = 300ms;
  Make(o);
  Send(Frame(3, Data(1)), now_);
  EXPECT_TRUE(Answers(now_ + 299ms).empty());
  EXPECT_EQ(Answers(now_ + 300ms), kBlockAck);
}

TEST_F(SimEngine, BaudPacesAnswersFromTheRequestsFirstByte) {
  SimOptions o;
  o.baud = 115200;
  Make(o);
  Send(kHandshake, now_);
  // 5 bytes of 10 bits at 115200 baud: 434 us.
  EXPECT_TRUE(Answers(now_ + 433us).empty());
  EXPECT_EQ(Answers(now_ + 435us), kHandshakeAck);

  // 1028 + 3 bytes: 89.496 ms, counted from the frame's first byte.
  const Bytes frame = Frame(3, Data(2));
  const TimePoint start = now_ + 1s;
  Send(Slice(frame, 0, 10), start);
  Send(Slice(frame, 10, frame.size()), start + 20ms);
  EXPECT_TRUE(Answers(start + 89ms).empty());
  EXPECT_EQ(E().NextDeadline(), start + 89496us);
  EXPECT_EQ(Answers(start + 90ms), kBlockAck);
}

TEST_F(SimEngine, RefusalsArePacedToo) {
  SimOptions o;
  o.baud = 9600;
  Make(o);
  Bytes frame = Frame(3, Data(2));
  frame.back() ^= 1;
  Send(frame, now_);
  EXPECT_TRUE(Answers(now_ + 1073ms).empty());  // 10310 bits at 9600: 1073.96 ms
  EXPECT_EQ(Answers(now_ + 1074ms), kRefused);
}

TEST_F(SimEngine, DropAfterMarksTheAcknowledgementAndGoesDeaf) {
  SimOptions o;
  o.drop_after = 5;
  o.refuse = {{5, 1}};
  Make(o);
  Send(Frame(5, Data(1)));  // refused: no drop yet
  auto answers = E().TakeDueAnswers(now_);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(answers[0].then_drop);

  Send(Frame(5, Data(1)));
  answers = E().TakeDueAnswers(now_);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, kBlockAck);
  EXPECT_TRUE(answers[0].then_drop);

  Send(kHandshake);
  Send(Frame(6, Data(1)));
  EXPECT_TRUE(E().TakeDueAnswers(now_ + 1s).empty());
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 5 REFUSED", "BLOCK 5 OK"}));
  EXPECT_EQ(BlockAt(6), Bytes(1024, 0));
}

TEST(SimNoise, NeverHoldsAnAcknowledgementStartAndIsRepeatable) {
  sim::NoiseSource a;
  sim::NoiseSource b;
  const Bytes first = a.Next(10000);
  ASSERT_EQ(first.size(), 10000u);
  EXPECT_EQ(std::count(first.begin(), first.end(), 0x55), 0);
  EXPECT_EQ(b.Next(10000), first);
  EXPECT_NE(a.Next(16), Bytes(first.begin(), first.begin() + 16));  // goes on, no restart
  // Not a constant filler: many distinct values.
  std::vector<bool> seen(256);
  for (const auto v : first) seen[v] = true;
  EXPECT_GT(std::count(seen.begin(), seen.end(), true), 200);
}

// ---------------------------------------------------------------------------
// The command line.

sim::CommandLine Parse(std::vector<std::string> args) {
  return sim::ParseCommandLine(args);
}

TEST(SimCommandLine, DefaultsAndEveryOption) {
  const auto d = Parse({});
  EXPECT_EQ(d.sim.handshake, sim::HandshakeMode::kOk);
  EXPECT_EQ(d.sim.gap, 50ms);
  EXPECT_EQ(d.sim.baud, 0);
  EXPECT_FALSE(d.sim.late_ack_block || d.sim.drop_after || d.as || d.dump || d.stdin_exit);

  const auto c = Parse({"--as",         "com3",        "--dump",   "/tmp/x.bin", "--gap-ms",
                        "20",           "--handshake", "reversed", "--refuse",   "7:2",
                        "--refuse=9:6", "--late-ack",  "4",        "--noise",    "32",
                        "--drop-after", "10",          "--baud",   "115200",     "--stdin-exit"});
  EXPECT_EQ(c.as, "com3");
  EXPECT_EQ(c.dump, "/tmp/x.bin");
  EXPECT_EQ(c.sim.gap, 20ms);
  EXPECT_EQ(c.sim.handshake, sim::HandshakeMode::kReversed);
  EXPECT_EQ(c.sim.refuse, (std::map<int, int>{{7, 2}, {9, 6}}));
  EXPECT_EQ(c.sim.late_ack_block, 4);
  EXPECT_EQ(c.sim.late_ack_delay, 5200ms);
  EXPECT_EQ(c.noise, 32u);
  EXPECT_EQ(c.sim.drop_after, 10);
  EXPECT_EQ(c.sim.baud, 115200);
  EXPECT_TRUE(c.stdin_exit);

  EXPECT_EQ(Parse({"--late-ack=3:300"}).sim.late_ack_delay, 300ms);
  EXPECT_TRUE(Parse({"--help"}).help);
}

TEST(SimCommandLine, Mistakes) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"extra"},
      {"--dump"},
      {"--as", "COM0"},
      {"--as", "ttyS0"},
      {"--gap-ms", "0"},
      {"--gap-ms", "5x"},
      {"--handshake", "loud"},
      {"--refuse", "7"},
      {"--refuse", "7:"},
      {"--refuse", "256:1"},
      {"--refuse", "7:0"},
      {"--refuse", "7:1", "--refuse", "7:2"},
      {"--late-ack", "4:-1"},
      {"--late-ack", ""},
      {"--noise", "-3"},
      {"--drop-after", "x"},
      {"--baud", "0"},
      {"--stdin-exit=1"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_THROW(Parse(args), sim::UsageError) << joined;
  }
}

// ---------------------------------------------------------------------------
// The program, end to end.

const std::string kSim = COMFLASH_BIN_DIR "/comflash-sim";

// A running comflash-sim with its stdin and stdout on pipes. Always ended
// and reaped, whatever the test did.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> argv_strings = {kSim};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, kSim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + kSim);
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGTERM);
      if (!Wait(2s)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    CloseStdin();
    close(stdout_);
  }

  pid_t Pid() const { return pid_; }
  void CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // The next line of output, or nothing at end of output or timeout.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        lines_.push_back(line);
        return line;
      }
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t r = read(stdout_, buf, sizeof buf);
      if (r <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<std::size_t>(r));
    }
  }

  // Reads lines until `line` comes; false if it does not within the time.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout = 2s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (const auto got = ReadLine(std::chrono::ceil<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
      if (*got == line) return true;
    }
    return false;
  }

  // Every line read so far, for failure messages.
  std::string Seen() const {
    std::string all;
    for (const auto& l : lines_) all += "[" + l + "] ";
    return all;
  }

  // The exit status once the process ended within the time.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      usleep(5000);
    }
  }

  std::optional<int> Terminate() {
    kill(pid_, SIGTERM);
    return Wait(2s);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::optional<int> status_;
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

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/comflash-sim-test-XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(SimProgram, ServesHandshakeAndBlocksAcrossReopenAndDumps) {
  TempDir dir;
  const std::string dump = dir.File("memory.bin");
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
  TempDir dir;
  testsupport::ScopedPortMap ports;
  SimProcess simp({"--drop-after", "3", "--dump", dir.File("m.bin"), "--as", "COM7"});
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
  EXPECT_EQ(Slice(ReadFile(dir.File("m.bin")), 3 * 1024, 4 * 1024), Data(4));
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
    EXPECT_EQ(simp.ReadLine(2s), "usage: comflash-sim [options]");
    EXPECT_EQ(simp.Wait(2s), 0);
  }
}

}  // namespace
