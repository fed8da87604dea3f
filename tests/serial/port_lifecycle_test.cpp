#include <gtest/gtest.h>

#include <chrono>

#include "serial/VaComm.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/PortFixture.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::PumpUntil;

namespace {

class PortLifecycle : public ::testing::Test {
 protected:
  testsupport::RecordingApplication app;
  FakeSerialApi fake;
};

using testsupport::ErrorOf;

// The window's design settings.
void ApplyDesign(TVaComm& port) {
  port.SetBaudrate(br115200);
  port.FlowControl().SetControlDtr(dtrDisabled);
  port.FlowControl().SetControlRts(rtsDisabled);
  port.SetDeviceName("\\\\.\\COM4");
  port.Loaded();
}

}  // namespace

TEST_F(PortLifecycle, AFreshPortHasTheDefaults) {
  TVaComm port(nullptr, fake);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Handle, kInvalidHandle);
  EXPECT_EQ(port.DeviceName(), "COM%d");
  EXPECT_EQ(port.PortNum(), 0);
  EXPECT_EQ(port.Baudrate(), br1200);
  EXPECT_EQ(port.Parity(), paNone);
  EXPECT_EQ(port.Databits(), db8);
  EXPECT_EQ(port.Stopbits(), sb1);
  EXPECT_EQ(port.MonitorEvents().Bits(), 0x00C8);
  EXPECT_EQ(port.EventPriority(), TThreadPriority::tpNormal);
  EXPECT_EQ(port.WritePriority(), TThreadPriority::tpHighest);
  EXPECT_TRUE(port.UpdateDCB());
  EXPECT_FALSE(port.DirectWrite());
  EXPECT_FALSE(port.AutoOpen());
  EXPECT_EQ(port.SettingsStore().Location, slINIFile);
  EXPECT_EQ(port.SettingsStore().RegRoot, rrCURRENTUSER);
  EXPECT_EQ(port.FullDeviceName(), "\\\\.\\COM0");
  fake.SetPlatform(kVerPlatformWin32Windows);
  EXPECT_EQ(port.FullDeviceName(), "COM0");
  port.SetDeviceName("COM3");
  EXPECT_EQ(port.FullDeviceName(), "COM3");
  EXPECT_TRUE(fake.CallsNamed({"CreateFileA"}).empty()) << "loading opened nothing";
}

TEST_F(PortLifecycle, SwitchingOnCom3MakesTheseCallsInThisOrder) {
  TVaComm port(nullptr, fake);
  ApplyDesign(port);
  port.SetDeviceName("COM3");
  port.Open();
  const auto calls =
      fake.CallsNamed({"GetVersionExA", "CreateFileA", "GetCommState", "SetCommState", "SetupComm",
                       "SetCommTimeouts", "SetCommMask"});
  const std::vector<std::string> expected = {
      "GetVersionExA(148)",
      "CreateFileA(\\\\.\\COM3, 0xC0000000, 0, 3, 0x40000000)",
      "GetCommState(28)",
      "SetCommState(BaudRate=115200 ByteSize=8 Parity=0 StopBits=0 Flags=0x1 XonLim=1024 "
      "XoffLim=1024 XonChar=0x11 XoffChar=0x13 ErrorChar=0x0 EofChar=0x0 EvtChar=0x0)",
      "SetupComm(4096, 2048)",
      "SetCommTimeouts(0xFFFFFFFF, 0, 0, 0, 0)",
      "SetCommMask(0x81)",
  };
  EXPECT_EQ(calls, expected);
  ASSERT_NE(port.EventThread(), nullptr);
  ASSERT_NE(port.WriteThread(), nullptr);
  EXPECT_EQ(framework::PlatformPriorityValue(port.EventThread()->Priority()), 0);
  EXPECT_EQ(framework::PlatformPriorityValue(port.WriteThread()->Priority()), 2);
  port.Close();
  EXPECT_EQ(port.EventThread(), nullptr);
  EXPECT_EQ(port.WriteThread(), nullptr);
}

TEST_F(PortLifecycle, OpenFailuresCarryTheSystemsCodeAndText) {
  TVaComm port(nullptr, fake);
  port.SetDeviceName("COM7");
  fake.FailNext("CreateFileA", 2);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Specified device not found (\\\\.\\COM7).");
  EXPECT_FALSE(port.IsOpen());
  port.SetDeviceName("COM3");
  fake.FailNext("CreateFileA", 5);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            "Can't open specified device \\\\.\\COM3 (Error 5, Access is denied)");
  EXPECT_FALSE(port.IsOpen());
  port.Open();  // may be tried again
  EXPECT_TRUE(port.IsOpen());
  port.Close();
}

TEST_F(PortLifecycle, AFailedOpenReportsTheCodeOfTheOpenNotOfALaterCall) {
  TVaComm port(nullptr, fake);
  port.SetDeviceName("COM3");
  // The version query succeeds but clears the last error, as the system may.
  fake.FailNext("GetVersionExA", 0, 5);
  fake.FailNext("CreateFileA", 5);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            "Can't open specified device \\\\.\\COM3 (Error 5, Access is denied)");
  fake.FailNext("GetVersionExA", 0, 5);
  fake.FailNext("CreateFileA", 2);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Specified device not found (\\\\.\\COM3).");
}

TEST_F(PortLifecycle, ANameWithPercentSignsIsNotTakenForPlaceholders) {
  TVaComm port(nullptr, fake);
  port.SetDeviceName("odd%%s");
  fake.FailNext("CreateFileA", 5);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            "Can't open specified device \\\\.\\odd%s (Error 5, Access is denied)");
}

TEST_F(PortLifecycle, FailedSetupStepsReleaseTheHandle) {
  TVaComm port(nullptr, fake);
  fake.FailNext("SetupComm", 87);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            "Error initializing buffers (87), The parameter is incorrect");
  fake.FailNext("SetCommTimeouts", 87);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            "Error setting timeouts (87), The parameter is incorrect");
  fake.FailNext("SetCommMask", 87);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }),
            " Error setting EventMask (87), The parameter is incorrect");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(fake.CallsNamed({"CloseHandle"}).size(), 3u);
}

TEST_F(PortLifecycle, EventMaskRules) {
  TVaComm port(nullptr, fake);
  port.Open();
  EXPECT_EQ(port.EventMask(), 0x81u);
  port.Close();
  port.SetDirectWrite(true);
  port.Open();
  EXPECT_EQ(port.EventMask(), 0x85u);
  EXPECT_EQ(port.WriteThread(), nullptr);
  port.Close();
  port.SetDirectWrite(false);
  port.SetMonitorEvents({ceTxEmpty});
  fake.ClearCalls();
  port.Open();
  EXPECT_EQ(port.EventMask(), 0u);
  EXPECT_EQ(fake.CallsNamed({"SetCommMask"}), std::vector<std::string>{"SetCommMask(0x0)"});
  EXPECT_EQ(port.EventThread(), nullptr) << "no event thread for an empty mask";
  EXPECT_NE(port.WriteThread(), nullptr);
  port.Close();
}

TEST_F(PortLifecycle, CloseRaisesOnCloseAfterReleasingThenPauses) {
  TVaComm port(nullptr, fake);
  int closes = 0;
  port.OnClose = [&](TVaCustomComm* sender) {
    EXPECT_EQ(sender, &port);
    EXPECT_FALSE(port.IsOpen()) << "raised once the handle is released";
    ++closes;
  };
  auto t0 = std::chrono::steady_clock::now();
  port.Close();  // closed: nothing, no pause
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
  EXPECT_EQ(closes, 0);
  port.Open();
  t0 = std::chrono::steady_clock::now();
  port.Close();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  EXPECT_EQ(closes, 1);
}

TEST_F(PortLifecycle, DestroyingAnOpenPortClosesItWithoutOnClose) {
  int closes = 0;
  THandle handle;
  {
    TVaComm port(nullptr, fake);
    port.OnClose = [&](TVaCustomComm*) { ++closes; };
    port.Open();
    handle = port.Handle;
  }
  EXPECT_EQ(closes, 0);
  EXPECT_FALSE(fake.IsOpen(handle));
}

TEST_F(PortLifecycle, AnErrorInOnOpenIsShownAndThePortStaysOpen) {
  TVaComm port(nullptr, fake);
  port.OnOpen = [](TVaCustomComm*) { throw std::runtime_error("handler failed"); };
  port.Open();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(app.Shown(), std::vector<std::string>{"handler failed"});
  port.Close();
}

TEST_F(PortLifecycle, AutoOpenOpensOnLoaded) {
  TVaComm port(nullptr, fake);
  port.SetAutoOpen(true);
  port.Loaded();
  EXPECT_TRUE(port.IsOpen());
  port.Close();
  TVaComm designing(nullptr, fake);
  designing.SetDesigning(true);
  designing.SetAutoOpen(true);
  designing.Loaded();
  EXPECT_FALSE(designing.IsOpen());
}

TEST_F(PortLifecycle, ClosedPortOperationsDoNothing) {
  TVaComm port(nullptr, fake);
  fake.ClearCalls();
  port.Close();
  port.Purge(15);
  port.PurgeAll();
  port.ResetDevice();
  EXPECT_EQ(port.WriteBytes("ab", 2), 0);
  EXPECT_FALSE(port.WriteByte(1));
  std::uint8_t b = 42;
  EXPECT_FALSE(port.ReadByte(b));
  EXPECT_EQ(b, 42);
  EXPECT_EQ(port.InQueueCount(), 0);
  TVaCommStatus st{1, 2, 3, 4};
  port.ReadStatus(st);
  EXPECT_EQ(st.Errors + st.Flags + st.InQueue + st.OutQueue, 0u);
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(PortLifecycle, ResetAndPurgeReachTheDeviceAndReportFailures) {
  TVaComm port(nullptr, fake);
  port.Open();
  port.ResetDevice();
  port.PurgeAll();
  EXPECT_EQ(fake.CallsNamed({"EscapeCommFunction", "PurgeComm"}),
            (std::vector<std::string>{"EscapeCommFunction(7)", "PurgeComm(15)"}));
  fake.FailNext("EscapeCommFunction", 31);
  EXPECT_EQ(ErrorOf([&] { port.ResetDevice(); }),
            "Error calling comm function (31), A device attached to the system is not functioning");
  fake.FailNext("PurgeComm", 31);
  EXPECT_EQ(ErrorOf([&] { port.PurgeAll(); }),
            "Error clearing buffers (31), A device attached to the system is not functioning");
  EXPECT_TRUE(port.IsOpen());
  port.Close();
}

namespace {
// A port whose thread start fails after the event thread is running.
class FailingStartPort : public TVaComm {
 public:
  using TVaComm::TVaComm;

 protected:
  void StartThreads() override {
    TVaComm::StartThreads();
    throw EVaCommError("thread start failed");
  }
};
}  // namespace

TEST_F(PortLifecycle, AFailedThreadStartStopsWhatStartedAndReleasesTheHandle) {
  FailingStartPort port(nullptr, fake);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }), "thread start failed");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.EventThread(), nullptr);
  EXPECT_EQ(port.WriteThread(), nullptr);
  EXPECT_FALSE(fake.WaitOutstanding()) << "the event thread's wait ended before it went";
  EXPECT_EQ(fake.CallsNamed({"CloseHandle"}).size(), 1u);
}

TEST_F(PortLifecycle, PurgeAllClearsTheWriterBufferButAReceivePurgeKeepsIt) {
  TVaComm port(nullptr, fake);
  port.Open();
  port.PurgeAll();  // the first purge after Open is acknowledged at once
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  port.WriteBytes("abcdef", 6);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return fake.WriteOutstanding(); }));
  port.Purge(kPurgeRxAbort | kPurgeRxClear);
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 6);
  const auto t0 = std::chrono::steady_clock::now();
  port.PurgeAll();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 0);
  EXPECT_TRUE(fake.Written().empty());
  port.Close();
}

TEST_F(PortLifecycle, PriorityChangesReachRunningThreads) {
  TVaComm port(nullptr, fake);
  port.Open();
  port.SetEventPriority(TThreadPriority::tpLower);
  port.SetWritePriority(TThreadPriority::tpNormal);
  EXPECT_EQ(port.EventThread()->Priority(), TThreadPriority::tpLower);
  EXPECT_EQ(port.WriteThread()->Priority(), TThreadPriority::tpNormal);
  port.Close();
}
