// The simulator's command line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/CommandLine.h"

namespace {

using namespace std::chrono_literals;

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

}  // namespace
