// comflash-cli's answer to the console's control events: the interruption is
// noted, a reply wait ends at once, and a close waits for the program's end
// only as long as the system allows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "serial/device/win32/Win32SerialApi.h"
#include "tests/support/win32/WineCheck.h"
#include "tools/cli/Platform.h"
#include "tools/cli/win32/ConsoleEvents.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

TEST(CliConsoleEvents, AnInterruptionEndsTheReplyWaitAtOnceAndACloseWaitsBoundedly) {
  REQUIRE_DEVICE_PORT();
  auto& api = dynamic_cast<serial::Win32SerialApi&>(serial::PlatformSerialApi());
  const serial::THandle h =
      api.CreateFileA("\\\\.\\" + testsupport::DevicePort(), serial::kGenericReadWrite, 0,
                      serial::kOpenExisting, serial::kFileFlagOverlapped);
  ASSERT_NE(h, serial::kInvalidHandle) << "error " << api.GetLastError();
  ASSERT_TRUE(api.SetCommMask(h, serial::kEvRxChar | serial::kEvErr));
  ASSERT_TRUE(api.PurgeComm(h, serial::kPurgeRxClear | serial::kPurgeRxAbort));
  // The run waits for a reply that does not come (nothing was sent).
  auto reply = std::async(std::launch::async, [&] {
    const auto t0 = Clock::now();
    const bool ok = api.WaitForReceived(h, 3, 10'000'000);
    return std::make_pair(ok, Since(t0));
  });
  std::this_thread::sleep_for(200ms);

  EXPECT_FALSE(cli::HandleConsoleEvent(CTRL_CLOSE_EVENT + 100, 0)) << "not an event of ours";
  const auto t0 = Clock::now();
  EXPECT_TRUE(cli::HandleConsoleEvent(CTRL_C_EVENT, 3000));
  EXPECT_LT(Since(t0), 0.5) << "Ctrl-C does not end the process: nothing to wait for";
  const auto [ok, waited] = reply.get();
  EXPECT_FALSE(ok) << "the wait ends with the interruption";
  EXPECT_LT(waited, 1.0) << "at once, not at its 10 s limit";
  EXPECT_EQ(cli::InterruptStatus(), 130);

  // A console close: the process ends when the handler returns, so it waits
  // for the program to finish, but never up to the system's 5 s.
  const auto t1 = Clock::now();
  EXPECT_TRUE(cli::HandleConsoleEvent(CTRL_CLOSE_EVENT, 400));
  const double held = Since(t1);
  EXPECT_GE(held, 0.39);
  EXPECT_LT(held, 2.0);
  EXPECT_LT(cli::kConsoleCloseWaitMs, 5000u);
  EXPECT_EQ(cli::InterruptStatus(), 130) << "the first interruption decides the status";
  api.ResumeReceiveWaits();
  EXPECT_TRUE(api.CloseHandle(h));
}

TEST(CliPortListing, ListsTheMappedComPortsInNumberOrder) {
  REQUIRE_DEVICE_PORT();
  const auto ports = cli::SerialPorts();
  std::string all;
  for (const auto& p : ports) all += p + "\n";
  const std::string device = testsupport::DevicePort();
  bool found = false;
  for (const auto& p : ports) found = found || p.rfind(device + "  ", 0) == 0 || p == device;
  EXPECT_TRUE(found) << device << " is mapped, but the listing is:\n" << all;
  int last = 0;
  for (const auto& p : ports) {
    ASSERT_EQ(p.rfind("COM", 0), 0u) << p;
    const int n = std::atoi(p.c_str() + 3);
    EXPECT_GT(n, last) << all;
    last = n;
  }
}
