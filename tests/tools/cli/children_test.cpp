// comflash-cli with several ports: the uploads end with their parent,
// however it ends, and free their ports.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

// About 9 ms a block: the uploads are caught in the middle.
const std::vector<std::string> kPaced{"--baud", "1000000"};

// State letter of pid ('Z' for a zombie nobody reaped), or 0 once it is gone.
char StateOf(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const auto close = stat.rfind(')');
    int ppid = 0;
    char state = 0;
    if (close != std::string::npos &&
        std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
      children.push_back(std::stoi(name));
  }
  return children;
}

class CliChildren : public CliFixture {};

TEST_F(CliChildren, AKilledParentsUploadsEndWithinASecondAndFreeTheirPorts) {
  const auto a = StartDevice(kPaced);
  const auto b = StartDevice(kPaced);
  auto cli = StartFlash({"-q", "-p", a + "," + b, hex_}, dir_ / "err.txt");
  ASSERT_TRUE(devices_[0]->Program().WaitForLine("BLOCK 10 OK", 20s));
  const auto children = ChildrenOf(cli->Pid());
  ASSERT_EQ(children.size(), 2u);

  cli->Signal(SIGKILL);
  ASSERT_EQ(cli->Wait(5s), 128 + SIGKILL);
  const auto t0 = std::chrono::steady_clock::now();
  for (const pid_t child : children) {
    while (StateOf(child) != 0 && StateOf(child) != 'Z' &&
           std::chrono::steady_clock::now() - t0 < 5s)
      std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(StateOf(child) == 0 || StateOf(child) == 'Z') << child << " still runs";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);

  // Their ports open at once for the next run.
  const auto r = Flash({"-q", "-p", a + "," + b, hex_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(HoldsTheImage(0));
  EXPECT_TRUE(HoldsTheImage(1));
}

}  // namespace
