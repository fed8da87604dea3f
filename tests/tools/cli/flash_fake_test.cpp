// One port's run of comflash-cli in-process, on the scripted fake device:
// what the driver refuses and what the run makes of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/FakeSerialApi.h"
#include "tests/support/RecordingApplication.h"
#include "tests/support/TempDir.h"
#include "tools/cli/Flash.h"

namespace {

// Acknowledges the handshake and every complete frame, however the writes
// cut the request into pieces.
std::vector<std::uint8_t> Bootloader(std::vector<std::uint8_t>& pending,
                                     const std::vector<std::uint8_t>& bytes) {
  pending.insert(pending.end(), bytes.begin(), bytes.end());
  if (pending.size() == 2 && pending[0] == 0x33) {
    pending.clear();
    return {0x55, 0x33, 0xAA};
  }
  if (pending.size() == 1028) {
    pending.clear();
    return {0x55, 0x11, 0xAA};
  }
  return {};
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class CliOnFakeDevice : public ::testing::Test {
 protected:
  CliOnFakeDevice() {
    fake.SetResponder(
        [this](const std::vector<std::uint8_t>& b) { return Bootloader(pending, b); });
    out.OpenLogFile(logPath);
  }

  testsupport::RecordingApplication app;
  serial::FakeSerialApi fake;
  std::vector<std::uint8_t> pending;
  testsupport::TempDir dir;
  std::string logPath = (dir.Path() / "run.log").string();
  cli::Output out{"", true};  // JSON mode: the log lines stay off standard output
  cli::LoadedImage image;
};

}  // namespace

TEST_F(CliOnFakeDevice, AnAdapterRefusingTheDeviceResetIsStillFlashedWithAWarning) {
  // The codes USB-serial drivers were seen to refuse it with.
  for (const std::uint32_t code : {1u, 31u, 87u}) {
    SCOPED_TRACE(code);
    fake.ClearCalls();
    fake.FailAlways("EscapeCommFunction", code);
    const cli::PortResult r = cli::FlashPort("COM3", image, out, cli::ProgressStyle::kNone, fake);
    EXPECT_EQ(r.outcome, cli::Outcome::kCompleted) << r.error;
    EXPECT_EQ(r.exitStatus, cli::kExitOk);
    EXPECT_EQ(r.blocksWritten, 123);
    const auto calls = fake.CallsNamed({"EscapeCommFunction", "PurgeComm"});
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "EscapeCommFunction(7)");
    EXPECT_EQ(calls[1].rfind("PurgeComm(", 0), 0u) << "the purge still runs after the refusal";
    EXPECT_EQ(fake.CallsNamed({"CloseHandle"}).size(), 1u) << "and the port is closed at the end";
  }
  const std::string log = ReadAll(logPath);
  EXPECT_NE(log.find("warning: the adapter refused the device reset, going on without it: "
                     "Error calling comm function (31), A device attached to the system is not "
                     "functioning"),
            std::string::npos)
      << log;
  std::size_t warnings = 0;
  for (auto at = log.find("warning:"); at != std::string::npos; at = log.find("warning:", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 3u) << "one warning per run";
  EXPECT_NE(log.find("Процесс прошивки закончен, брат!"), std::string::npos);
}

TEST_F(CliOnFakeDevice, APurgeThatFailsAfterARefusedResetIsStillAPortError) {
  fake.FailAlways("EscapeCommFunction", 31);
  fake.FailNext("PurgeComm", 31);
  const cli::PortResult r = cli::FlashPort("COM3", image, out, cli::ProgressStyle::kNone, fake);
  EXPECT_EQ(r.outcome, cli::Outcome::kPortError);
  EXPECT_EQ(r.exitStatus, cli::kExitPort);
  EXPECT_EQ(r.blocksWritten, 0);
  EXPECT_TRUE(fake.CallsNamed({"WriteFile"}).empty()) << "nothing sent to a line that failed";
}
