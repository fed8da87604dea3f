#include <gtest/gtest.h>

#include "serial/VaComm.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;

namespace {

constexpr char kOpenMessage[] = "Can't perform this operation while port is open";

class PortSettings : public ::testing::Test {
 protected:
  void OpenPort() {
    port.SetDeviceName("COM3");
    port.Open();
    fake.ClearCalls();
  }
  std::vector<std::string> DcbWrites() { return fake.CallsNamed({"SetCommState"}); }

  testsupport::RecordingApplication app;
  FakeSerialApi fake;
  TVaComm port{nullptr, fake};
};

using testsupport::ErrorOf;

}  // namespace

TEST_F(PortSettings, TheApplicationsSettingsWriteThisControlBlock) {
  port.SetBaudrate(br115200);
  OpenPort();
  port.Close();
  const TDCB d = fake.LastDcb();
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.Flags, 0x1u);
  EXPECT_EQ(d.XonLim, 1024);
  EXPECT_EQ(d.XoffLim, 1024);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.ErrorChar, 0);
  EXPECT_EQ(d.EofChar, 0);
  EXPECT_EQ(d.EvtChar, 0);
}

TEST_F(PortSettings, EveryFlowValueAtItsHighestAndAllOptionsGive0x3FEF) {
  TVaFlowControl fc;
  fc.SetOutCtsFlow(true);
  fc.SetOutDsrFlow(true);
  fc.SetXonXoffOut(true);
  fc.SetXonXoffIn(true);
  fc.SetControlDtr(dtrHandshake);
  fc.SetControlRts(rtsToggle);
  fc.SetDsrSensitivity(true);
  fc.SetTxContinueOnXoff(true);
  port.SetFlowControl(fc);
  port.SetOptions({coErrorChar, coNullStrip, coParityCheck});
  OpenPort();
  EXPECT_EQ(fake.LastDcb().Flags, 0x3FEFu);
  port.Close();
}

TEST_F(PortSettings, LimitsAreWrittenAsTheirLow16Bits) {
  port.Buffers().SetXonLimit(70000);
  port.EventChars().SetEofChar(0x1A);
  port.EventChars().SetEventChar('!');
  OpenPort();
  EXPECT_EQ(fake.LastDcb().XonLim, 4464);
  EXPECT_EQ(port.EventChars().EofChar(), 0x1A);
  EXPECT_EQ(fake.LastDcb().EofChar, 0x1A);
  EXPECT_EQ(fake.LastDcb().EvtChar, '!');
  port.Close();
}

TEST_F(PortSettings, BaudratePairStaysConsistent) {
  port.SetUserBaudrate(250000);
  EXPECT_EQ(port.Baudrate(), brUser);
  port.SetBaudrate(br9600);
  EXPECT_EQ(port.UserBaudrate(), 0) << "a listed rate clears the user rate";
  port.SetUserBaudrate(31250);
  port.SetBaudrate(brUser);
  EXPECT_EQ(port.UserBaudrate(), 31250) << "brUser keeps the user rate";
  port.SetBaudrate(br110);
  port.SetUserBaudrate(0);  // its current value: nothing happens
  EXPECT_EQ(port.Baudrate(), br110);

  port.SetUserBaudrate(31250);
  OpenPort();
  EXPECT_EQ(fake.LastDcb().BaudRate, 31250u);
  port.SetBaudrate(br57600);
  EXPECT_EQ(fake.LastDcb().BaudRate, 57600u);
  port.Close();
}

TEST_F(PortSettings, ComparingSettersWriteOnlyChangesButEventCharsAlwaysWrite) {
  OpenPort();
  port.SetParity(paNone);
  port.FlowControl().SetOutCtsFlow(false);
  port.Buffers().SetXonLimit(1024);
  EXPECT_TRUE(DcbWrites().empty());
  port.SetParity(paEven);
  EXPECT_EQ(DcbWrites().size(), 1u);
  EXPECT_EQ(fake.LastDcb().Parity, 2);
  port.EventChars().SetXonChar(0x11);  // same value: still written
  EXPECT_EQ(DcbWrites().size(), 2u);
  port.FlowControl().SetXonXoffIn(true);
  EXPECT_EQ(DcbWrites().size(), 3u);
  EXPECT_EQ(fake.LastDcb().Flags, 0x201u);
  port.Close();
}

TEST_F(PortSettings, AssigningEqualFlowValuesNotifiesOnce) {
  OpenPort();
  TVaFlowControl same;
  port.SetFlowControl(same);
  EXPECT_EQ(DcbWrites().size(), 1u);
  TVaEventChars chars;
  port.SetEventChars(chars);
  EXPECT_EQ(DcbWrites().size(), 2u);
  port.Close();
}

TEST_F(PortSettings, GuardedSettersAreRefusedWhileOpenAndStoreNothing) {
  OpenPort();
  EXPECT_EQ(ErrorOf([&] { port.SetDeviceName("COM4"); }), kOpenMessage);
  EXPECT_EQ(port.DeviceName(), "COM3");
  EXPECT_EQ(ErrorOf([&] { port.SetPortNum(7); }), kOpenMessage);
  EXPECT_EQ(ErrorOf([&] { port.SetMonitorEvents({}); }), kOpenMessage);
  EXPECT_EQ(ErrorOf([&] { port.SetDirectWrite(true); }), kOpenMessage);
  EXPECT_EQ(ErrorOf([&] { port.SetUpdateDCB(false); }), kOpenMessage);
  EXPECT_EQ(port.PortNum(), 0);
  EXPECT_FALSE(port.DirectWrite());
  EXPECT_TRUE(port.UpdateDCB());
  EXPECT_EQ(ErrorOf([&] { port.Open(); }), kOpenMessage);
  EXPECT_TRUE(port.IsOpen()) << "a refused Open leaves the port open";
  port.Close();
}

TEST_F(PortSettings, BuffersChangedWhileOpenAreRefusedButTheDirectChangeStays) {
  OpenPort();
  EXPECT_EQ(ErrorOf([&] { port.Buffers().SetReadSize(8192); }), kOpenMessage);
  EXPECT_EQ(port.Buffers().ReadSize(), 8192) << "the object keeps the new value";
  TVaBuffers other;
  other.SetWriteSize(64);
  EXPECT_EQ(ErrorOf([&] { port.SetBuffers(other); }), kOpenMessage);
  EXPECT_EQ(port.Buffers().WriteSize(), 2048) << "the property copies nothing";
  port.Buffers().SetReadTimeout(5);  // plain store, allowed
  EXPECT_EQ(port.Buffers().ReadTimeout(), 5);
  port.Close();
  port.SetBuffers(other);
  EXPECT_EQ(port.Buffers().WriteSize(), 64);
}

TEST_F(PortSettings, UpdateDcbOffLeavesTheDeviceAlone) {
  port.SetUpdateDCB(false);
  OpenPort();
  port.SetParity(paOdd);
  EXPECT_TRUE(fake.CallsNamed({"GetCommState", "SetCommState"}).empty());
  port.Close();
}

TEST_F(PortSettings, AssignFromAWrongClassFails) {
  TVaBuffers buffers;
  try {
    port.FlowControl().Assign(&buffers);
    FAIL();
  } catch (const framework::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TVaBuffers to a TVaFlowControl");
  }
  EXPECT_THROW(port.EventChars().Assign(nullptr), framework::EConvertError);
  TSettingsStore store;
  store.Key = "k";
  store.Assign(&buffers);  // ignored
  EXPECT_EQ(store.Key, "k");
}

TEST_F(PortSettings, ARefusedControlBlockDuringOpenLeavesThePortClosed) {
  fake.FailNext("SetCommState", 87);
  port.SetDeviceName("COM3");
  port.SetBaudrate(br115200);
  EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Error writing dcb (87), The parameter is incorrect");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Baudrate(), br115200);
  EXPECT_EQ(fake.CallsNamed({"CloseHandle"}).size(), 1u);
  EXPECT_EQ(port.EventThread(), nullptr);
  EXPECT_EQ(port.WriteThread(), nullptr);
}

TEST_F(PortSettings, VersionReadsTheSameWhateverIsWritten) {
  port.SetVersion("9.9");
  EXPECT_EQ(port.Version(), "1.8.0.0");
}
