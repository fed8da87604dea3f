// The upload session: the application's port settings, the open / reset /
// purge sequence, and one observer hearing the whole run.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/core/UploadSession.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/RecordingApplication.h"

using namespace comflash;

namespace {

struct RecordingObserver : UploadObserver {
  std::vector<std::string> events;
  void RunStarted() override { events.push_back("started"); }
  void RunEnded() override { events.push_back("ended"); }
  void LogLine(const std::string& line) override { events.push_back("log " + line); }
  void BlockAttempted(const BlockAttempt& a) override {
    events.push_back("block " + std::to_string(a.block) + "/" + std::to_string(a.attempt) +
                     (a.accepted ? " ok" : " refused"));
  }
};

// Acknowledges the handshake and every complete frame; refuses block 9 once.
std::vector<std::uint8_t> Bootloader(std::vector<std::uint8_t>& pending,
                                     const std::vector<std::uint8_t>& bytes, int& refusals) {
  pending.insert(pending.end(), bytes.begin(), bytes.end());
  std::vector<std::uint8_t> answer;
  if (pending.size() == 2 && pending[0] == 0x33) {
    pending.clear();
    return {0x55, 0x33, 0xAA};
  }
  if (pending.size() == 1028) {
    const bool refuse = pending[1] == 9 && refusals-- > 0;
    pending.clear();
    return {0x55, static_cast<std::uint8_t>(refuse ? 0 : 0x11), 0xAA};
  }
  return answer;
}

class Session : public ::testing::Test {
 protected:
  testsupport::RecordingApplication app;
  serial::FakeSerialApi fake;
  RecordingObserver observer;
  int processed = 0;
  UploadSession session{observer, [this] { ++processed; }, fake};
};

}  // namespace

TEST_F(Session, ThePortCarriesTheApplicationSettingsAndStaysClosed) {
  serial::TVaComm& port = session.Port();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Baudrate(), serial::br115200);
  EXPECT_EQ(port.FlowControl().ControlDtr(), serial::dtrDisabled);
  EXPECT_EQ(port.FlowControl().ControlRts(), serial::rtsDisabled);
  EXPECT_FALSE(port.FlowControl().XonXoffIn());
  EXPECT_EQ(port.DeviceName(), "\\\\.\\COM4");
  EXPECT_TRUE(fake.Calls().empty()) << "nothing reaches the device before it is opened";
}

TEST_F(Session, OpenResetAndPurgeReachTheDeviceInThatOrder) {
  session.OpenPort("COM3");
  EXPECT_TRUE(session.Port().IsOpen());
  EXPECT_EQ(session.Port().DeviceName(), "COM3");
  fake.ClearCalls();
  session.ResetAndPurge();
  const auto calls = fake.CallsNamed({"EscapeCommFunction", "PurgeComm"});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "EscapeCommFunction(7)");
  EXPECT_EQ(calls[1], "PurgeComm(15)") << "both directions, the writer's buffer too";
  session.Port().Close();
}

TEST_F(Session, AMissingPortRaisesItsErrorWithTheKind) {
  fake.FailNext("CreateFileA", 2);
  try {
    session.OpenPort("COM9");
    FAIL() << "no error";
  } catch (const serial::EVaCommError& e) {
    EXPECT_EQ(e.Code(), 2u);
    EXPECT_EQ(e.Kind(), serial::TErrorKind::ekNotFound);
  }
  EXPECT_FALSE(session.Port().IsOpen());
}

TEST_F(Session, OneObserverHearsTheWholeRunInOrder) {
  std::vector<std::uint8_t> pending;
  int refusals = 1;
  fake.SetResponder(
      [&](const std::vector<std::uint8_t>& b) { return Bootloader(pending, b, refusals); });
  session.Port().SetDirectWrite(true);
  session.OpenPort("COM3");
  static FirmwareImageBytes image{};
  EXPECT_EQ(session.Run(image), UploadOutcome::Completed);
  const auto& e = observer.events;
  ASSERT_GE(e.size(), 4u);
  EXPECT_EQ(e.front(), "started");
  EXPECT_EQ(e[1], "log 85 51 170");
  EXPECT_EQ(e[2], "log Устройство готово!");
  EXPECT_EQ(e.back(), "ended");
  EXPECT_EQ(e[e.size() - 2], "log Процесс прошивки закончен, брат!");
  EXPECT_EQ(std::count_if(e.begin(), e.end(),
                          [](const std::string& s) { return s.rfind("block ", 0) == 0; }),
            124);
  const auto refused = std::find(e.begin(), e.end(), "block 9/1 refused");
  ASSERT_NE(refused, e.end());
  EXPECT_EQ(*(refused - 1), "log Ошибка записи - Блок: N9") << "the link's line comes first";
  EXPECT_EQ(*(refused + 2), "block 9/2 ok");
  // Once after the handshake, then once at the start of every block write.
  EXPECT_EQ(processed, 1 + 124);
  session.Port().Close();
}

// A port error where the run stands: before the controls are touched (the
// drain's read) or after (the purge before the handshake). A run the observer
// heard start, it hears end, whatever the error.
struct PortErrorCase {
  const char* name;
  const char* call;
  std::vector<std::string> heard;
};

class SessionPortError : public Session, public ::testing::WithParamInterface<PortErrorCase> {};

TEST_P(SessionPortError, EndsTheRunAndPassesOn) {
  session.OpenPort("COM3");
  fake.FailNext(GetParam().call, 31);
  static FirmwareImageBytes image{};
  EXPECT_THROW(session.Run(image), serial::EVaCommError);
  EXPECT_EQ(observer.events, GetParam().heard);
  session.Port().Close();
}

INSTANTIATE_TEST_SUITE_P(
    Session, SessionPortError,
    ::testing::Values(
        PortErrorCase{"InTheDrainBeforeTheControlsAreTouched", "ReadFile", {}},
        PortErrorCase{"InThePurgeAfterTheControlsAreDisabled", "PurgeComm", {"started", "ended"}}),
    [](const ::testing::TestParamInfo<PortErrorCase>& info) { return info.param.name; });
