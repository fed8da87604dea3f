// The kernel32 back end on real COM ports, and the port object on it. Under
// Wine the port is a pseudo-terminal with the simulated device at the other
// end; on Windows any device that answers the bootloader handshake will do.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "serial/VaComm.h"
#include "serial/device/win32/Win32SerialApi.h"
#include "tests/serial/device/win32/ComPortFixture.h"
#include "tests/support/PortFixture.h"
#include "tests/support/RecordingApplication.h"
#include "tests/support/Utf8Check.h"
#include "tests/support/win32/WineCheck.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::Request;

namespace {

const std::vector<std::uint8_t> kHandshake{0x33, 0x33};
const std::vector<std::uint8_t> kReply{0x55, 0x33, 0xAA};

class Win32Line : public testsupport::ComPortTest {
 protected:
  // Waits until at least n bytes are queued; returns the count.
  std::uint32_t WaitQueued(std::uint32_t n, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TComStat stat{};
    std::uint32_t errors = 0;
    do {
      EXPECT_TRUE(api.ClearCommError(h, &errors, &stat));
      if (stat.cbInQue >= n) break;
      ::Sleep(2);
    } while (std::chrono::steady_clock::now() < deadline);
    return stat.cbInQue;
  }
  // Starts the caller's event wait for received bytes and line errors on
  // the empty line; it must pend.
  void StartPendingWait(Request& r, std::uint32_t& mask) {
    ASSERT_TRUE(api.SetCommMask(h, kEvRxChar | kEvErr));
    ASSERT_FALSE(api.WaitCommEvent(h, &mask, &r.ov)) << "nothing is queued: the wait must pend";
    ASSERT_EQ(api.GetLastError(), kErrorIoPending);
  }
  // Once the reply is queued, one read of room for more: what it took.
  std::vector<std::uint8_t> ReadTheReply() {
    EXPECT_EQ(WaitQueued(3), 3u);
    Request read;
    std::vector<std::uint8_t> buf(8);
    std::uint32_t n = 0;
    EXPECT_TRUE(api.ReadFile(h, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, &read.ov));
    buf.resize(n);
    return buf;
  }
};

}  // namespace

TEST(Win32Api, AMissingPortIsNotFoundWithTheSystemsText) {
  Win32SerialApi api;
  const THandle h =
      api.CreateFileA("\\\\.\\COM9", kGenericReadWrite, 0, kOpenExisting, kFileFlagOverlapped);
  ASSERT_EQ(h, kInvalidHandle) << "COM9 must not exist for this test";
  const std::uint32_t code = api.GetLastError();
  EXPECT_EQ(code, kErrorFileNotFound);
  EXPECT_EQ(api.ErrorKindOf(code), TErrorKind::ekNotFound);
  const std::string text = api.ErrorText(code);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(Win32Api, ErrorTextsEndWithoutALineBreakAndUnknownCodesAreNamed) {
  Win32SerialApi api;
  for (std::uint32_t code : {2u, 5u, 21u, 87u, 995u, 997u}) {
    const std::string text = api.ErrorText(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
    EXPECT_NE(text.back(), ' ') << code;
  }
  EXPECT_EQ(api.ErrorText(0x2FFFFFFFu), "Unknown error 805306367");
}

// The system's texts reach the window's error box, --log and --json, all
// UTF-8; on a Russian system the A functions would give them in code page 1251.
TEST(Win32Api, EveryErrorTextAPortCanGiveIsUtf8) {
  Win32SerialApi api;
  std::size_t beyondAscii = 0;
  for (std::uint32_t code :
       {1u, 2u, 3u, 5u, 6u, 21u, 22u, 31u, 32u, 87u, 121u, 995u, 996u, 997u, 1167u, 1617u}) {
    const std::string text = api.ErrorText(code);
    EXPECT_TRUE(testsupport::IsUtf8(text))
        << code << " breaks UTF-8 at byte " << testsupport::FirstNonUtf8(text);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    for (const char c : text) beyondAscii += static_cast<unsigned char>(c) >= 0x80;
  }
  // A system whose texts are in Russian must have given some: otherwise this
  // run proved nothing about the conversion.
  if (::GetACP() == 1251 && beyondAscii == 0)
    ADD_FAILURE() << "code page 1251, yet every text was plain ASCII";
}

TEST(Win32Api, ThePlatformIsNtSoComNamesGetTheDevicePrefix) {
  Win32SerialApi api;
  TOSVersionInfo info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(api.GetVersionExA(info));
  EXPECT_EQ(info.dwPlatformId, kVerPlatformWin32NT);
  EXPECT_GE(info.dwMajorVersion, 5u);
}

TEST_F(Win32Line, TakesTheSettingsAsOneRecord) {
  TDCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(api.GetCommState(h, dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_TRUE(api.SetupComm(h, 4096, 4096));
  EXPECT_TRUE(api.SetCommMask(h, kEvRxChar | kEvErr));
}

TEST_F(Win32Line, AReadOfAnEmptyQueueCompletesAtOnceWithNothing) {
  Request r;
  std::uint8_t buf[64];
  std::uint32_t n = 99;
  ASSERT_TRUE(api.ReadFile(h, buf, sizeof buf, &n, &r.ov)) << "error " << api.GetLastError();
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(r.ov.LoadStatus(), 0u) << "a request that ended at once has its final status";
  std::uint32_t got = 99;
  EXPECT_TRUE(api.GetOverlappedResult(h, &r.ov, &got, false));
  EXPECT_EQ(got, 0u);
}

TEST_F(Win32Line, AReadTakesWhatIsQueuedAndCompletesAtOnce) {
  Write(kHandshake);
  ASSERT_EQ(WaitQueued(3), 3u) << "the device did not answer the handshake";
  Request r;
  std::vector<std::uint8_t> buf(100);
  std::uint32_t n = 0;
  if (!api.ReadFile(h, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, &r.ov)) {
    // Windows may still end it through the record; it must not wait for more.
    ASSERT_EQ(api.GetLastError(), kErrorIoPending);
    ASSERT_TRUE(r.Signalled(1000)) << "a read of queued bytes must not wait for more";
    ASSERT_TRUE(api.GetOverlappedResult(h, &r.ov, &n, false));
  }
  ASSERT_EQ(n, 3u);
  buf.resize(n);
  EXPECT_EQ(buf, kReply);
  EXPECT_EQ(WaitQueued(1, 0ms), 0u);
}

TEST_F(Win32Line, AnEventWaitEndsWhenBytesArrive) {
  ASSERT_TRUE(api.SetCommMask(h, kEvRxChar));
  Request r;
  std::uint32_t mask = 0;
  if (!api.WaitCommEvent(h, &mask, &r.ov)) {
    ASSERT_EQ(api.GetLastError(), kErrorIoPending);
    EXPECT_FALSE(r.Signalled(100)) << "nothing arrived yet; status " << r.ov.LoadStatus();
    Write(kHandshake);
    ASSERT_TRUE(r.Signalled(3000));
    std::uint32_t ignored = 0;
    ASSERT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false))
        << "error " << api.GetLastError();
  }
  EXPECT_TRUE(mask & kEvRxChar) << mask;
}

TEST_F(Win32Line, AnArrivalEndsTheEventWaitAndAReadThenTakesTheReplyWhole) {
  // Under Wine a read of ours answers the wait; it may take only the
  // reply's first byte, and the caller's read still gets all three.
  Request r;
  std::uint32_t mask = 0;
  ASSERT_NO_FATAL_FAILURE(StartPendingWait(r, mask));
  Write(kHandshake);
  ASSERT_TRUE(r.Signalled(3000));
  std::uint32_t ignored = 0;
  ASSERT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false)) << "error " << api.GetLastError();
  EXPECT_TRUE(mask & kEvRxChar) << mask;
  EXPECT_EQ(ReadTheReply(), kReply);
}

TEST_F(Win32Line, AChangeOfTheMaskEndsAPendingEventWaitWithNoEvents) {
  // As the system documents it for its own waits (Wine's own fail then).
  Request r;
  std::uint32_t mask = 0xFFFF;
  ASSERT_NO_FATAL_FAILURE(StartPendingWait(r, mask));
  ASSERT_TRUE(api.SetCommMask(h, kEvRxChar | kEvErr));
  ASSERT_TRUE(r.Signalled(3000));
  std::uint32_t ignored = 0;
  EXPECT_TRUE(api.GetOverlappedResult(h, &r.ov, &ignored, false)) << "error " << api.GetLastError();
  EXPECT_EQ(mask, 0u);
  // The line's events are told to the next wait as before.
  Request next;
  if (!api.WaitCommEvent(h, &mask, &next.ov)) {
    ASSERT_EQ(api.GetLastError(), kErrorIoPending);
    Write(kHandshake);
    ASSERT_TRUE(next.Signalled(3000));
    ASSERT_TRUE(api.GetOverlappedResult(h, &next.ov, &ignored, false));
  }
  EXPECT_TRUE(mask & kEvRxChar) << mask;
  EXPECT_EQ(ReadTheReply(), kReply);
}

TEST_F(Win32Line, CancelReturnsOnceAPendingEventWaitHasEnded) {
  ASSERT_TRUE(api.SetCommMask(h, kEvRxChar));
  Request r;
  std::uint32_t mask = 0;
  ASSERT_FALSE(api.WaitCommEvent(h, &mask, &r.ov)) << "nothing is queued: the wait must pend";
  ASSERT_EQ(api.GetLastError(), kErrorIoPending);
  ASSERT_TRUE(api.CancelIoEx(h, &r.ov));
  EXPECT_NE(r.ov.LoadStatus(), kStatusPending) << "the request must have ended";
  EXPECT_TRUE(r.Signalled(0));
  std::uint32_t ignored = 0;
  EXPECT_FALSE(api.GetOverlappedResult(h, &r.ov, &ignored, false));
  EXPECT_EQ(api.GetLastError(), kErrorOperationAborted);
  // A request that has ended already cancels as done.
  EXPECT_TRUE(api.CancelIoEx(h, &r.ov));
}

TEST_F(Win32Line, ASecondOpenOfTheSamePortIsRefusedAsBusy) {
  if (testsupport::RunningUnderWine())
    GTEST_SKIP() << "Wine lets a second CreateFileA open the same COM port (no exclusive open)";
  const THandle second = api.CreateFileA("\\\\.\\" + testsupport::DevicePort(), kGenericReadWrite,
                                         0, kOpenExisting, kFileFlagOverlapped);
  if (second != kInvalidHandle) api.CloseHandle(second);
  ASSERT_EQ(second, kInvalidHandle);
  EXPECT_EQ(api.GetLastError(), 5u);
  EXPECT_EQ(api.ErrorKindOf(5), TErrorKind::ekBusy);
}

// The port object on the platform back end: COMn through the version query.
TEST(Win32Port, AMissingComPortIsReportedWithItsDeviceName) {
  testsupport::RecordingApplication app;
  TVaComm port(nullptr);
  port.SetDeviceName("COM9");
  try {
    port.Open();
    FAIL() << "COM9 must not exist for this test";
  } catch (const EVaCommError& e) {
    EXPECT_EQ(std::string(e.what()), "Specified device not found (\\\\.\\COM9).");
    EXPECT_EQ(e.Code(), 2u);
    EXPECT_EQ(e.Kind(), TErrorKind::ekNotFound);
  }
  EXPECT_FALSE(port.IsOpen());
}

TEST(Win32Port, OpensComNThroughTheDevicePrefixAndTalksToTheDevice) {
  REQUIRE_DEVICE_PORT();
  testsupport::RecordingApplication app;
  TVaComm port(nullptr);
  port.SetBaudrate(br115200);
  port.SetDeviceName(testsupport::DevicePort());
  std::vector<std::int32_t> arrivals;
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t n) { arrivals.push_back(n); };
  port.Open();
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.FullDeviceName(), "\\\\.\\" + testsupport::DevicePort());
  port.PurgeAll();
  ASSERT_EQ(port.WriteBytes(kHandshake.data(), 2), 2);  // through the writer thread
  ASSERT_TRUE(testsupport::PumpUntil([&] { return port.InQueueCount() >= 3; }, 3000ms));
  // The event thread saw the arrival (on Wine only with the modem-line help);
  // waited for before the read, which would leave it nothing to report.
  EXPECT_TRUE(testsupport::PumpUntil([&] { return !arrivals.empty(); }, 2000ms));
  std::vector<std::uint8_t> got(8);
  got.resize(static_cast<std::size_t>(port.ReadBytes(got.data(), 8)));
  EXPECT_EQ(got, kReply);
  EXPECT_EQ(port.ReadBytes(got.data(), 8), 0) << "an empty queue reads nothing, at once";
  port.Close();
  EXPECT_TRUE(app.Shown().empty());
}

TEST(Win32Port, ANameWithAPathIsOpenedAsGiven) {
  REQUIRE_DEVICE_PORT();
  testsupport::RecordingApplication app;
  TVaComm port(nullptr);
  const std::string path = "\\\\.\\" + testsupport::DevicePort();
  port.SetDeviceName(path);
  EXPECT_EQ(port.FullDeviceName(), path);
  port.Open();
  EXPECT_TRUE(port.IsOpen());
  port.Close();
  port.SetDeviceName("\\\\.\\COM9");
  try {
    port.Open();
    FAIL() << "COM9 must not exist for this test";
  } catch (const EVaCommError& e) {
    EXPECT_EQ(std::string(e.what()), "Specified device not found (\\\\.\\COM9).");
  }
}
