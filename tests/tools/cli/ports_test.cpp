// comflash-cli on a bench: the port list, and several boards at once.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliPorts : public CliFixture {
 protected:
  // The lines of out that begin with prefix, without the failure lines of
  // tries that a retry then mended: a loaded machine may time a try out.
  static std::vector<std::string> LinesOf(const std::string& out, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const auto& l : SplitLines(out))
      if (l.rfind(prefix, 0) == 0) lines.push_back(l);
    return WithoutFailedTries(lines);
  }
};

TEST_F(CliPorts, ListShowsASimulatedDeviceMappedAsCom3) {
  const std::string ports = dir_ / "ports";
  const std::string env = "COMFLASH_PORTS=" + ports;
  const std::vector<std::string> sim{"/usr/bin/env", env, kBin + "/comflash-sim", "--as", "COM3"};
  testsupport::BackgroundProgram device(sim);
  const std::string path = device.ReadLine().value_or("");
  ASSERT_FALSE(path.empty());

  const auto r = FlashWithEnv({env}, {"--list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "COM3  -> " + path + "  (port map " + ports + ")\n")) << r.out;
  // The map's names and the system's ports, one per line, each a path or a COM name.
  for (const auto& line : SplitLines(r.out))
    EXPECT_TRUE(line.rfind("/dev/", 0) == 0 || line.rfind("COM", 0) == 0) << line;

  // And the name the list shows is the one to flash with.
  const auto flash = FlashWithEnv({env}, {"-q", "-p", "COM3", hex_});
  EXPECT_EQ(flash.status, 0) << flash.err;
}

TEST_F(CliPorts, FourDevicesAtOnceEachGetTheImageWithTheirOwnLines) {
  std::vector<std::string> ports;
  for (int i = 0; i < 4; ++i) ports.push_back(StartDevice());
  const auto r =
      Flash({"-q", "-p", ports[0] + "," + ports[1], "-p", ports[2], "--port", ports[3], hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(LinesOf(r.out, ports[i] + ": "), FullUploadLog(ports[i] + ": ")) << ports[i];
    EXPECT_TRUE(HoldsTheImage(i)) << ports[i];
    EXPECT_TRUE(Contains(r.err, "comflash-cli: " + ports[i] + ": summary: completed, 123 of 123"))
        << r.err;
  }
  for (const auto& line : SplitLines(r.out)) {
    const bool ofAPort = std::any_of(ports.begin(), ports.end(), [&](const std::string& p) {
      return line.rfind(p + ": ", 0) == 0;
    });
    EXPECT_TRUE(ofAPort) << "every line belongs to a port, whole: " << line;
  }
  EXPECT_TRUE(Contains(r.err, "comflash-cli: summary: 4 of 4 ports written: " + ports[0] +
                                  " completed, " + ports[1] + " completed"))
      << r.err;
}

TEST_F(CliPorts, OneFailingBoardFailsTheRunAndTheOthersStillGetTheImage) {
  const auto good = StartDevice();
  const auto bad = StartDevice({"--refuse", "20:6"});
  const std::string missing = "/dev/comflash-no-such-port";
  const auto r = Flash({"-q", "-p", good + "," + bad + "," + missing, hex_});
  EXPECT_EQ(r.status, 3) << "the highest status: the missing port's";
  EXPECT_TRUE(HoldsTheImage(0));
  EXPECT_TRUE(Contains(r.err, "summary: 1 of 3 ports written: " + good + " completed, " + bad +
                                  " a block failed, " + missing + " port error"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "comflash-cli: " + bad + ": summary: block 20 failed six times"))
      << r.err;

  const auto refusing = StartDevice({"--refuse", "20:6"});
  const auto two = Flash({"-q", "-p", good + "," + refusing, hex_});
  EXPECT_EQ(two.status, 2);
}

TEST_F(CliPorts, SeveralPortsInJsonGiveOneObjectEach) {
  const auto a = StartDevice();
  const auto b = StartDevice({"--handshake", "reversed"});
  const auto r = Flash({"--json", "-q", "-p", a, "-p", b, hex_});
  EXPECT_EQ(r.status, 1);
  auto lines = SplitLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  std::sort(lines.begin(), lines.end(), [&](const std::string& x, const std::string&) {
    return Contains(x, "\"port\":\"" + a + "\"");
  });
  EXPECT_TRUE(Contains(lines[0], "\"port\":\"" + a + "\",\"outcome\":\"completed\"")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], "\"port\":\"" + b + "\",\"outcome\":\"handshake-refused\""))
      << lines[1];
}

TEST_F(CliPorts, TheLogFileOfSeveralPortsHoldsEveryPortsLinesWhole) {
  const auto a = StartDevice();
  const auto b = StartDevice();
  const std::string log = dir_ / "bench.log";
  ASSERT_EQ(Flash({"-q", "--log", log, "-p", a + "," + b, hex_}).status, 0);
  const auto lines = SplitLines(ReadFile(log));
  for (const auto& port : {a, b}) {
    std::vector<std::string> mine;
    for (const auto& l : lines)
      if (l.size() > 25 && l.compare(25, port.size() + 2, port + ": ") == 0)
        mine.push_back(l.substr(25));
    EXPECT_EQ(WithoutFailedTries(mine), FullUploadLog(port + ": ")) << port;
  }
  EXPECT_TRUE(Contains(lines.back(), "comflash-cli: summary: 2 of 2 ports written"));
}

}  // namespace
