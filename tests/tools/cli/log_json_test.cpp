// comflash-cli's words when they cannot all be written, and its JSON in
// every outcome: a full log or output is said and gets its own status; with
// --json every port named gets one valid object, in the order given.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;
using nlohmann::json;

// About 9 ms a block: long enough to catch an upload in the middle.
const std::vector<std::string> kPaced{"--baud", "1000000"};

// Every line of out parsed as one JSON object; a line that is not fails.
std::vector<json> Objects(const std::string& out) {
  std::vector<json> objects;
  for (const auto& line : SplitLines(out)) {
    try {
      objects.push_back(json::parse(line));
    } catch (const json::exception& e) {
      ADD_FAILURE() << "not JSON: " << e.what() << ": " << line;
    }
  }
  return objects;
}

// The pid of parent's child whose command line holds part, or -1.
pid_t ChildHolding(pid_t parent, const std::string& part) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent)
      continue;
    std::string cmdline = ReadFile(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (Contains(cmdline, part)) return std::stoi(name);
  }
  return -1;
}

class CliLogJson : public CliFixture {
 protected:
  // The flasher with its standard output sent to target (a shell redirection).
  testsupport::RunResult FlashInto(const std::string& target, std::vector<std::string> args) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + target, kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProgram(argv, 60s);
  }
};

TEST_F(CliLogJson, ALogThatCannotBeWrittenIsSaidAndEndsWithStatusFive) {
  const auto port = StartDevice();
  const auto r = Flash({"-q", "--log", "/dev/full", "-p", port, hex_});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_TRUE(Contains(r.err,
                       "comflash-cli: cannot write the log file /dev/full: No space left "
                       "on device"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "summary: completed")) << r.err;
  EXPECT_TRUE(HoldsTheImage()) << "a full log does not stop the upload";
}

TEST_F(CliLogJson, AFullStandardOutputIsSaidNotTakenForAnInterruption) {
  const auto port = StartDevice();
  const auto r = FlashInto("/dev/full", {"-q", "-p", port, hex_});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_TRUE(Contains(r.err,
                       "comflash-cli: cannot write standard output: No space left on "
                       "device"))
      << r.err;
  EXPECT_FALSE(Contains(r.err, "interrupted")) << r.err;
  EXPECT_TRUE(HoldsTheImage());

  const auto j = FlashInto("/dev/full", {"-q", "--json", "-p", port, hex_});
  EXPECT_EQ(j.status, 5) << j.err;
  EXPECT_TRUE(Contains(j.err, "cannot write standard output")) << j.err;
}

TEST_F(CliLogJson, ALogThatCannotBeOpenedStillGivesOneObjectPerPort) {
  const auto r = Flash({"--json", "-q", "--log", dir_ / "no-such-dir/x.log", "-p",
                        "COM3,/dev/comflash-no-such-port", hex_});
  EXPECT_EQ(r.status, 4) << r.err;
  const auto objects = Objects(r.out);
  ASSERT_EQ(objects.size(), 2u) << r.out;
  EXPECT_EQ(objects[0]["port"], "COM3");
  EXPECT_EQ(objects[1]["port"], "/dev/comflash-no-such-port");
  for (const auto& o : objects) {
    EXPECT_EQ(o["outcome"], "file-error");
    EXPECT_EQ(o["exit_status"], 4);
    EXPECT_TRUE(o["crc32"].is_null()) << o;
    EXPECT_TRUE(Contains(o["error"].get<std::string>(), "cannot open the log file")) << o;
  }
}

TEST_F(CliLogJson, FileNameBytesThatAreNotUtf8BecomeReplacementCharacters) {
  const std::string odd = dir_ / "fw\xFF\xFE.hex";
  const auto r = Flash({"--json", "-q", "-p", "/dev/comflash-no-such-port", odd});
  EXPECT_EQ(r.status, 4) << r.err;
  const auto objects = Objects(r.out);
  ASSERT_EQ(objects.size(), 1u) << r.out;
  EXPECT_TRUE(Contains(objects[0]["error"].get<std::string>(), "fw\xEF\xBF\xBD\xEF\xBF\xBD.hex"))
      << objects[0];
  EXPECT_TRUE(objects[0]["crc32"].is_null()) << objects[0];
}

TEST_F(CliLogJson, ObjectsComeInTheOrderOfThePortsWhateverHappened) {
  // The first port ends last, the third at once.
  const auto slow = StartDevice(kPaced);
  const auto fast = StartDevice();
  const std::string missing = "/dev/comflash-no-such-port";
  const auto r = Flash({"--json", "-q", "-p", slow + "," + fast + "," + missing, hex_});
  EXPECT_EQ(r.status, 3) << r.err;
  const auto objects = Objects(r.out);
  ASSERT_EQ(objects.size(), 3u) << r.out;
  EXPECT_EQ(objects[0]["port"], slow);
  EXPECT_EQ(objects[0]["outcome"], "completed");
  EXPECT_EQ(objects[1]["port"], fast);
  EXPECT_EQ(objects[2]["port"], missing);
  EXPECT_EQ(objects[2]["outcome"], "port-error");
}

TEST_F(CliLogJson, AKilledUploadStillGetsItsObject) {
  const auto first = StartDevice(kPaced);
  const auto second = StartDevice(kPaced);
  const std::string outFile = dir_ / "out.json";
  const std::vector<std::string> argv{"/bin/sh",
                                      "-c",
                                      "exec \"$0\" \"$@\" >\"$OUT\" 2>/dev/null",
                                      kCli,
                                      "--json",
                                      "-q",
                                      "-p",
                                      first + "," + second,
                                      hex_};
  std::vector<std::string> withEnv{"/usr/bin/env", "OUT=" + outFile};
  withEnv.insert(withEnv.end(), argv.begin(), argv.end());
  testsupport::BackgroundProgram cli(withEnv);
  ASSERT_TRUE(devices_[0]->Program().WaitForLine("BLOCK 10 OK", 20s));
  const pid_t child = ChildHolding(cli.Pid(), "--label " + first);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  EXPECT_EQ(cli.Wait(30s), 128 + SIGKILL);
  const auto objects = Objects(ReadFile(outFile));
  ASSERT_EQ(objects.size(), 2u) << ReadFile(outFile);
  EXPECT_EQ(objects[0]["port"], first);
  EXPECT_EQ(objects[0]["outcome"], "interrupted");
  EXPECT_EQ(objects[0]["exit_status"], 128 + SIGKILL);
  EXPECT_TRUE(objects[0]["blocks"].is_null()) << objects[0];
  EXPECT_TRUE(Contains(objects[0]["error"].get<std::string>(), "ended by signal 9")) << objects[0];
  EXPECT_EQ(objects[1]["port"], second);
  EXPECT_EQ(objects[1]["outcome"], "completed");
  EXPECT_TRUE(HoldsTheImage(1));
}

}  // namespace
