// comflash-cli's outcomes beside the log: hints, the summary line, the JSON
// objects and the log file.
#include <gtest/gtest.h>

#include <regex>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliOutcome : public CliFixture {};

TEST_F(CliOutcome, ASilentDeviceGetsAHintAfterTheZeroLine) {
  const auto port = StartDevice({"--handshake", "silent"});
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"0 0 0", "Устройство не готово!"}));
  EXPECT_TRUE(Contains(r.err, "nothing was received from the device within 2.5 s")) << r.err;
  EXPECT_TRUE(Contains(r.err, port + " is not the device's port")) << r.err;
  EXPECT_TRUE(Contains(r.err, "bootloader")) << r.err;
  EXPECT_TRUE(Contains(r.err, "cable")) << r.err;
  EXPECT_TRUE(Contains(r.err, "summary: handshake refused, 0 of 123 blocks written")) << r.err;
}

TEST_F(CliOutcome, ADeviceThatAnswersWronglyGetsNoSilenceHint) {
  const auto port = StartDevice({"--handshake", "short"});
  const auto r = Flash({"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(SplitLines(r.out).front(), "85 51 0");
  EXPECT_FALSE(Contains(r.err, "nothing was received")) << r.err;
}

TEST_F(CliOutcome, AMissingComPortNamesThePathTriedAndThePortMapFolder) {
  const std::string ports = dir_ / "ports";
  const auto r = FlashWithEnv({"COMFLASH_PORTS=" + ports}, {"-p", "COM7", hex_});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(
      Contains(r.err, "tried /dev/ttyS6; COM7 is not mapped in the port map folder " + ports))
      << r.err;
  EXPECT_TRUE(r.out.empty());

  std::filesystem::create_directories(ports);
  std::filesystem::create_symlink("/dev/comflash-gone", ports + "/com7");
  const auto stale = FlashWithEnv({"COMFLASH_PORTS=" + ports}, {"-p", "COM7", hex_});
  EXPECT_EQ(stale.status, 3);
  EXPECT_TRUE(Contains(stale.err, ports + "/com7 -> /dev/comflash-gone, which is not there"))
      << stale.err;
}

TEST_F(CliOutcome, TheSummaryLineSaysOutcomeBlocksRetriesTimeAndPort) {
  const auto port = StartDevice({"--refuse", "7:2"});
  const auto r = Flash({"-q", "-p", port, hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::regex summary(
      "comflash-cli: summary: completed, 123 of 123 blocks written, ([0-9]+) retries, "
      "[0-9]+\\.[0-9]{2} s, CRC-32 [0-9A-F]{8} over 0x00C00\\.\\.0x1F7FF, port " +
      port + "\n$");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, summary)) << r.err;
  // The two refusals, and any try a loaded machine timed out.
  EXPECT_GE(std::stoi(m[1]), 2);
  EXPECT_EQ(std::stoi(m[1]) + 123 + 3, static_cast<int>(SplitLines(r.out).size()));

  const auto failing = StartDevice({"--refuse", "9:6"});
  const auto f = Flash({"-q", "-p", failing, hex_});
  EXPECT_EQ(f.status, 2);
  EXPECT_TRUE(Contains(f.err, "summary: block 9 failed six times, 6 of 123 blocks written, "))
      << f.err;
}

TEST_F(CliOutcome, JsonGivesOneObjectInsteadOfTheLogLines) {
  const auto port = StartDevice();
  const auto r = Flash({"--json", "-q", "-p", port, hex_});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = SplitLines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  const std::regex object(
      "\\{\"port\":\"" + port +
      "\",\"outcome\":\"completed\",\"exit_status\":0,\"blocks\":123,"
      "\"retries\":[0-9]+,\"seconds\":[0-9]+(\\.[0-9]{1,2})?,\"crc32\":\"[0-9A-F]{8}\","
      "\"error\":null\\}");
  EXPECT_TRUE(std::regex_match(lines[0], object)) << lines[0];
  EXPECT_TRUE(HoldsTheImage());

  const auto silent = StartDevice({"--handshake", "silent"});
  const auto s = Flash({"--json", "-q", "-p", silent, hex_});
  EXPECT_EQ(s.status, 1);
  EXPECT_TRUE(Contains(s.out, "\"outcome\":\"handshake-refused\",\"exit_status\":1,\"blocks\":0"))
      << s.out;
  EXPECT_TRUE(Contains(s.out, "\"error\":\"the device did not acknowledge the handshake\""))
      << s.out;

  const std::string empty = dir_ / "empty.hex";
  std::ofstream{empty};
  const auto e = Flash({"--json", "-p", "COM3,COM4", empty});
  EXPECT_EQ(e.status, 4);
  EXPECT_EQ(SplitLines(e.out).size(), 2u) << "one object per port: " << e.out;
  EXPECT_TRUE(Contains(e.out, "{\"port\":\"COM4\",\"outcome\":\"file-error\"")) << e.out;
}

TEST_F(CliOutcome, TheLogFileGetsEveryLineTimestampedAndIsAppendedTo) {
  const auto port = StartDevice();
  const std::string log = dir_ / "bench.log";
  ASSERT_EQ(Flash({"-q", "--log", log, "-p", port, hex_}).status, 0);
  const auto first = WithoutFailedTries(SplitLines(ReadFile(log)));
  ASSERT_EQ(first.size(), 127u) << "126 log lines and the summary";
  const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z ");
  for (const auto& line : first) ASSERT_TRUE(std::regex_search(line, stamp)) << line;
  const auto expected = FullUploadLog();
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(first[i].substr(25), expected[i]);
  EXPECT_TRUE(Contains(first.back(), " comflash-cli: summary: completed")) << first.back();

  const auto silent = StartDevice({"--handshake", "silent"});
  EXPECT_EQ(Flash({"-q", "--log", log, "-p", silent, hex_}).status, 1);
  const auto both = WithoutFailedTries(SplitLines(ReadFile(log)));
  ASSERT_GT(both.size(), first.size() + 2);
  EXPECT_EQ(both[first.size()].substr(25), "0 0 0") << "appended after the first run";
  EXPECT_TRUE(Contains(both.back(), "summary: handshake refused"));

  const auto r = Flash({"--log", dir_ / "no-such-folder/x.log", "-p", port, hex_});
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(Contains(r.err, "cannot open the log file")) << r.err;
}

}  // namespace
