// comflash-cli --loop on a simulated fixture: board after board on one port,
// none written twice, failures and a vanished adapter reported and lived
// through, and an interruption ending the session with its summary.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliLoop : public CliFixture {
 protected:
  // The flasher beside the test with its standard output and error in files,
  // so a long session never fills a pipe nobody reads.
  std::unique_ptr<testsupport::BackgroundProgram> StartLoop(const std::vector<std::string>& args,
                                                            const std::string& env = "") {
    std::vector<std::string> argv{"/usr/bin/env", "ERRFILE=" + Err(), "OUTFILE=" + Out()};
    if (!env.empty()) argv.push_back(env);
    argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$OUTFILE\" 2>\"$ERRFILE\"",
                             kCli, "--loop"});
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<testsupport::BackgroundProgram>(argv);
  }
  std::string Err() const { return dir_ / "loop.err"; }
  std::string Out() const { return dir_ / "loop.out"; }

  // Waits until the flasher's standard error holds text `count` times.
  ::testing::AssertionResult ErrSays(const std::string& text, int count = 1,
                                     std::chrono::milliseconds timeout = 30s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (Occurrences(ReadFile(Err()), text) >= count) return ::testing::AssertionSuccess();
      if (std::chrono::steady_clock::now() > end)
        return ::testing::AssertionFailure() << "no " << count << " x '" << text << "' in:\n"
                                             << ReadFile(Err());
      std::this_thread::sleep_for(20ms);
    }
  }
  static int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  static int Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  // Whether board n's dump (the sim's FILE, FILE.2, ...) holds exactly the
  // image in blocks 3..125.
  ::testing::AssertionResult BoardHoldsTheImage(const std::string& dump, int n) const {
    const std::string memory = ReadFile(n == 1 ? dump : dump + "." + std::to_string(n));
    if (memory.size() != 131072u)
      return ::testing::AssertionFailure()
             << "board " << n << ": dump of " << memory.size() << " bytes";
    if (memory.substr(0x0C00, image_.size()) != image_)
      return ::testing::AssertionFailure() << "board " << n << ": blocks 3..125 differ";
    return ::testing::AssertionSuccess();
  }
};

TEST_F(CliLoop, ThreeBoardsInARowAreEachWrittenOnceByteExact) {
  const auto port = StartDevice();
  auto& sim = devices_.back()->Program();
  auto cli = StartLoop({"-p", port, hex_});
  for (int board = 1; board <= 3; ++board) {
    ASSERT_TRUE(ErrSays("board " + std::to_string(board) + ": completed, 123 of 123 blocks"));
    ASSERT_TRUE(ErrSays("board " + std::to_string(board) + " done: remove the board"));
    // The first board stays on a while: greeted, answering, not written again.
    if (board == 1) std::this_thread::sleep_for(1500ms);
    if (board < 3) sim.Signal(SIGUSR2);
  }
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 0) << ReadFile(Err());
  const std::string err = ReadFile(Err());
  EXPECT_TRUE(Contains(err, "session: 3 boards, 3 written, 0 failed")) << err;
  EXPECT_FALSE(Contains(err, "board 4")) << err;
  for (int board = 1; board <= 3; ++board) EXPECT_TRUE(BoardHoldsTheImage(Dump(), board));
  // Each board's log as a single upload's, one after the other.
  EXPECT_EQ(Count(SplitLines(ReadFile(Out())), "Процесс прошивки закончен, брат!"), 3);

  sim.Signal(SIGTERM);
  const auto events = sim.Lines(5s);
  EXPECT_EQ(Count(events, "BLOCK 3 OK"), 3) << sim.Seen();
  EXPECT_EQ(Count(events, "BLOCK 125 OK"), 3) << sim.Seen();
  // The board left on was greeted again and again meanwhile.
  EXPECT_GT(Count(events, "HANDSHAKE"), 3 + 5) << sim.Seen();
}

TEST_F(CliLoop, AFailedBoardIsReportedTheAdapterComesBackAndTheNextBoardIsWritten) {
  const std::string env = "COMFLASH_PORTS=" + std::string(dir_ / "ports");
  const auto startSim = [&](std::vector<std::string> options, const std::string& dump) {
    std::vector<std::string> argv{"/usr/bin/env", env, kBin + "/comflash-sim", "--as", "COM41",
                                  "--dump",       dump};
    argv.insert(argv.end(), options.begin(), options.end());
    auto p = std::make_unique<testsupport::BackgroundProgram>(argv);
    EXPECT_TRUE(p->ReadLine().has_value()) << "the simulator did not start";
    return p;
  };
  const std::string dumpA = dir_ / "a.bin";
  const std::string dumpB = dir_ / "b.bin";
  auto a = startSim({"--refuse", "7:6"}, dumpA);
  auto cli = StartLoop({"-p", "COM41", hex_}, env);
  ASSERT_TRUE(ErrSays("board 1: block 7 failed six times"));
  ASSERT_TRUE(ErrSays("board 1 done: remove the board"));
  // The adapter is pulled out with the board, and a new one plugged in.
  EXPECT_EQ(a->Stop(), 0);
  ASSERT_TRUE(ErrSays("port COM41 failed"));
  ASSERT_TRUE(ErrSays("cannot open port COM41"));
  auto b = startSim({}, dumpB);
  ASSERT_TRUE(ErrSays("port COM41 is open"));
  ASSERT_TRUE(ErrSays("board 2: completed, 123 of 123 blocks"));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 2) << ReadFile(Err());
  const std::string err = ReadFile(Err());
  EXPECT_TRUE(Contains(err, "session: 2 boards, 1 written, 1 failed")) << err;
  EXPECT_TRUE(Contains(err, "failed: board 1 (block 7 failed all six tries")) << err;
  EXPECT_TRUE(BoardHoldsTheImage(dumpB, 1));
}

TEST_F(CliLoop, AnAdapterThatGoesWithItsBoardIsOpenedAgainForTheNext) {
  const std::string env = "COMFLASH_PORTS=" + std::string(dir_ / "ports");
  const std::string dump = dir_ / "fixture.bin";
  testsupport::BackgroundProgram sim({"/usr/bin/env", env, kBin + "/comflash-sim", "--as", "COM42",
                                      "--unplug-with-board", "--dump", dump});
  ASSERT_TRUE(sim.ReadLine().has_value()) << "the simulator did not start";
  auto cli = StartLoop({"-p", "COM42", hex_}, env);
  ASSERT_TRUE(ErrSays("board 1: completed, 123 of 123 blocks"));
  ASSERT_TRUE(ErrSays("board 1 done: remove the board"));
  sim.Signal(SIGUSR2);
  ASSERT_TRUE(ErrSays("port COM42 failed"));
  ASSERT_TRUE(ErrSays("port COM42 is open"));
  ASSERT_TRUE(ErrSays("board 2: completed, 123 of 123 blocks"));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 0) << ReadFile(Err());
  EXPECT_TRUE(Contains(ReadFile(Err()), "session: 2 boards, 2 written, 0 failed"))
      << ReadFile(Err());
  EXPECT_TRUE(BoardHoldsTheImage(dump, 1));
  EXPECT_TRUE(BoardHoldsTheImage(dump, 2));
}

TEST_F(CliLoop, AnInterruptionWhileWritingNamesTheIncompleteBoard) {
  const auto port = StartDevice({"--baud", "115200"});
  auto cli = StartLoop({"-p", port, hex_});
  ASSERT_TRUE(ErrSays("progress: 10/123 blocks"));
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 130) << ReadFile(Err());
  const std::string err = ReadFile(Err());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, std::regex("board 1: interrupted at block ([0-9]+)")))
      << err;
  EXPECT_TRUE(Contains(err,
                       "session: 1 board, 0 written, 0 failed, board 1 incomplete "
                       "(interrupted at block " +
                           m[1].str() + " of 3..125"))
      << err;
  // The port is free: the next run writes the board.
  EXPECT_EQ(Flash({"-q", "-p", port, hex_}).status, 0);
}

TEST_F(CliLoop, AnInterruptionWhileWaitingForABoardEndsAtOnceAndFreesThePort) {
  const auto port = StartDevice({"--handshake", "silent"});
  auto cli = StartLoop({"-p", port, hex_});
  ASSERT_TRUE(ErrSays("state: waiting for a board (0 written, 0 failed)"));
  std::this_thread::sleep_for(300ms);
  cli->Signal(SIGTERM);
  // At most one greeting's wait.
  EXPECT_EQ(cli->Wait(4s), 0) << ReadFile(Err());
  const std::string err = ReadFile(Err());
  EXPECT_TRUE(Contains(err, "session: 0 boards, 0 written, 0 failed")) << err;
  EXPECT_FALSE(Contains(err, "nothing was received")) << err;
  // Free: a single run meets the silent device, not a busy port.
  EXPECT_EQ(Flash({"-q", "-p", port, hex_}).status, 1);
}

TEST_F(CliLoop, TwoPortsLoopSideBySide) {
  const auto a = StartDevice();
  const auto b = StartDevice();
  auto cli = StartLoop({"-p", a + "," + b, hex_});
  for (int board = 1; board <= 2; ++board) {
    for (const auto& port : {a, b}) {
      ASSERT_TRUE(ErrSays(port + ": board " + std::to_string(board) + ": completed"));
      ASSERT_TRUE(ErrSays("state: " + port + ": board " + std::to_string(board) +
                          " done: remove the board"));
    }
    if (board == 1)
      for (auto& d : devices_) d->Program().Signal(SIGUSR2);
  }
  cli->Signal(SIGINT);
  EXPECT_EQ(cli->Wait(10s), 0) << ReadFile(Err());
  const std::string err = ReadFile(Err());
  EXPECT_TRUE(Contains(err, a + ": session: 2 boards, 2 written, 0 failed")) << err;
  EXPECT_TRUE(Contains(err, b + ": session: 2 boards, 2 written, 0 failed")) << err;
  EXPECT_TRUE(Contains(err, "summary: 2 of 2 ports wrote every board they started")) << err;
  for (int board = 1; board <= 2; ++board) {
    EXPECT_TRUE(BoardHoldsTheImage(Dump(0), board));
    EXPECT_TRUE(BoardHoldsTheImage(Dump(1), board));
  }
}

TEST_F(CliLoop, EachBoardAndTheSessionAreOneJsonLine) {
  const auto port = StartDevice({"--refuse", "9:1"});
  auto& sim = devices_.back()->Program();
  auto cli = StartLoop({"--json", "-p", port, hex_});
  ASSERT_TRUE(ErrSays("board 1: completed"));
  sim.Signal(SIGUSR2);
  ASSERT_TRUE(ErrSays("board 2: completed"));
  cli->Signal(SIGHUP);
  EXPECT_EQ(cli->Wait(10s), 0) << ReadFile(Err());
  const auto lines = SplitLines(ReadFile(Out()));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(Out());
  for (int board = 1; board <= 2; ++board) {
    const auto o = nlohmann::json::parse(lines[board - 1]);
    EXPECT_EQ(o["port"], port);
    EXPECT_EQ(o["board"], board);
    EXPECT_EQ(o["outcome"], "completed");
    EXPECT_EQ(o["blocks"], 123);
    // Each board met the refusal of its own.
    EXPECT_EQ(o["retries"], 1);
  }
  const auto s = nlohmann::json::parse(lines[2]);
  EXPECT_EQ(s["session"], true);
  EXPECT_EQ(s["boards"], 2);
  EXPECT_EQ(s["written"], 2);
  EXPECT_EQ(s["failed"], 0);
  EXPECT_TRUE(s["incomplete_board"].is_null());
  EXPECT_EQ(s["exit_status"], 0);
}

}  // namespace
