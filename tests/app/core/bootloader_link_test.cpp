// The link protocol and the upload run, against the simulated bootloader.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include "app/core/BootloaderLink.h"
#include "app/core/UploadRun.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/RecordingApplication.h"
#include "tools/sim/BootloaderSim.h"

using namespace comflash;
using serial::FakeSerialApi;

namespace {

// The simulated device's bootloader engine on the fake device: what the host
// writes reaches it at one fixed time point, so its answers are due at once.
class SimulatedBootloader {
 public:
  void SetHandshake(sim::HandshakeMode mode) {
    options_.handshake = mode;
    engine_.reset();
  }
  void Refuse(int block, int times) {
    options_.refuse[block] = times;
    engine_.reset();
  }
  std::vector<std::uint8_t> OnWrite(const std::vector<std::uint8_t>& bytes) {
    if (!engine_) engine_.emplace(options_);
    const sim::TimePoint now{};
    engine_->Receive(bytes, now);
    std::vector<std::uint8_t> answer;
    for (const auto& a : engine_->TakeDueAnswers(now))
      answer.insert(answer.end(), a.bytes.begin(), a.bytes.end());
    return answer;
  }

 private:
  sim::SimOptions options_;
  std::optional<sim::BootloaderSim> engine_;
};

// The block frames among the bytes the host wrote, in order.
std::vector<std::vector<std::uint8_t>> FramesIn(const std::vector<std::uint8_t>& written) {
  std::vector<std::vector<std::uint8_t>> frames;
  for (std::size_t i = 0; i < written.size();) {
    if (written[i] == sim::kWriteBlock && i + sim::kFrameSize <= written.size()) {
      frames.emplace_back(written.begin() + static_cast<std::ptrdiff_t>(i),
                          written.begin() + static_cast<std::ptrdiff_t>(i + sim::kFrameSize));
      i += sim::kFrameSize;
    } else {
      ++i;  // a handshake byte
    }
  }
  return frames;
}

// A clock that advances 1 ms per reading, so a full wait costs no real time.
struct SteppingClock {
  std::int64_t now = 0;
  std::int64_t step = 1000;
  MicrosecondClock Fn() {
    return [this] { return now += step; };
  }
};

class Link : public ::testing::Test {
 protected:
  Link() {
    fake.SetResponder([this](const std::vector<std::uint8_t>& b) { return device.OnWrite(b); });
    port.SetDirectWrite(true);  // writes reach the device before the wait starts
    port.SetBaudrate(serial::br115200);
    port.Open();
  }
  ~Link() override { port.Close(); }

  BootloaderLink MakeLink(MicrosecondClock clock = SteadyMicroseconds) {
    return BootloaderLink(
        port, [this](const std::string& l) { log.push_back(l); }, [this] { ++processed; },
        std::move(clock));
  }
  std::vector<std::vector<std::uint8_t>> Frames() { return FramesIn(fake.Written()); }
  std::size_t Polls() { return fake.CallsNamed({"ClearCommError"}).size(); }

  testsupport::RecordingApplication app;
  FakeSerialApi fake;
  SimulatedBootloader device;
  serial::TVaComm port{nullptr, fake};
  std::vector<std::string> log;
  int processed = 0;
  SteppingClock stepping;
};

std::vector<std::string> Lines(std::initializer_list<std::string> l) {
  return l;
}

}  // namespace

TEST_F(Link, HandshakeAnswered) {
  auto link = MakeLink();
  EXPECT_TRUE(link.DeviceReady());
  EXPECT_EQ(log, Lines({"85 51 170", "Устройство готово!"}));
  EXPECT_EQ(fake.Written(), (std::vector<std::uint8_t>{0x33, 0x33}));
}

TEST_F(Link, HandshakeRepliesThatFail) {
  auto link = MakeLink(stepping.Fn());
  device.SetHandshake(sim::HandshakeMode::kShort);
  EXPECT_FALSE(link.DeviceReady());
  device.SetHandshake(sim::HandshakeMode::kReversed);
  EXPECT_FALSE(link.DeviceReady());
  device.SetHandshake(sim::HandshakeMode::kSilent);
  EXPECT_FALSE(link.DeviceReady());
  EXPECT_EQ(log, Lines({"85 51 0", "Устройство не готово!", "170 51 85", "Устройство не готово!",
                        "0 0 0", "Устройство не готово!"}));
}

TEST_F(Link, TwoReplyBytesWaitTheWholeLimitAndTheThirdEndsTheWait) {
  auto link = MakeLink(stepping.Fn());
  device.SetHandshake(sim::HandshakeMode::kShort);
  EXPECT_FALSE(link.DeviceReady());
  EXPECT_GE(stepping.now, 2500 * 1000) << "two bytes are not an answer yet";
  device.SetHandshake(sim::HandshakeMode::kOk);
  const std::int64_t before = stepping.now;
  EXPECT_TRUE(link.DeviceReady());
  EXPECT_LT(stepping.now - before, 10 * 1000) << "the third byte ends the wait at once";
}

TEST_F(Link, EachPassWaitsInThePortForTheThirdByteAndNoLongerThanTheTimeLeft) {
  // Readings: start, 250 ms (polls, then waits for the 2250 ms left), 2500 ms (stops).
  std::vector<std::int64_t> readings{1000000, 1250000, 3500000};
  std::size_t next = 0;
  auto link = MakeLink([&] { return readings[std::min(next++, readings.size() - 1)]; });
  device.SetHandshake(sim::HandshakeMode::kShort);
  fake.ClearCalls();
  EXPECT_FALSE(link.DeviceReady());
  EXPECT_EQ(fake.CallsNamed({"ClearCommError", "WaitForReceived"}),
            (std::vector<std::string>{"ClearCommError()", "WaitForReceived(3, 2250000)"}));
}

TEST_F(Link, ADoubledHandshakeSucceedsAndTheSurplusGoesWithTheFirstPurge) {
  device.SetHandshake(sim::HandshakeMode::kDoubled);
  auto link = MakeLink();
  EXPECT_TRUE(link.DeviceReady());
  EXPECT_EQ(port.InQueueCount(), 3);
  BlockData data{};
  EXPECT_TRUE(link.WriteBlock(3, data, 0));
  EXPECT_EQ(log.back(), "Блок: N3 успешно записан.");
}

TEST_F(Link, TheWaitStopsAt2500MsNotBefore) {
  // Readings: start, then 2499.999 ms (still waits: polls once), then 2500 ms (stops).
  std::vector<std::int64_t> readings{1000000, 3499999, 3500000};
  std::size_t next = 0;
  auto link = MakeLink([&] { return readings[std::min(next++, readings.size() - 1)]; });
  device.SetHandshake(sim::HandshakeMode::kSilent);
  const auto before = Polls();
  EXPECT_FALSE(link.DeviceReady());
  EXPECT_EQ(Polls() - before, 1u) << "2499 ms polls once more; 2500 ms stops";
  EXPECT_EQ(next, 3u);
}

TEST_F(Link, TheBlockWaitStopsAt5000Ms) {
  std::vector<std::int64_t> readings{0, 4999999, 5000000};
  std::size_t next = 0;
  auto link = MakeLink([&] { return readings[std::min(next++, readings.size() - 1)]; });
  fake.SetResponder(nullptr);  // silence
  const auto before = Polls();
  BlockData data{};
  EXPECT_FALSE(link.WriteBlock(9, data, 0));
  EXPECT_EQ(Polls() - before, 1u);
  EXPECT_EQ(log.back(), "Ошибка записи - Блок: N9");
}

TEST_F(Link, TheWaitEndsAsSoonAsThreeBytesAreQueued) {
  auto link = MakeLink(stepping.Fn());
  EXPECT_TRUE(link.DeviceReady());
  EXPECT_LT(stepping.now, 10 * 1000) << "no waiting for the limit";
}

TEST_F(Link, BlockFramesAndTheirCheckByte) {
  auto link = MakeLink();
  BlockData zeros{};
  EXPECT_TRUE(link.WriteBlock(3, zeros, 0));
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 1u);
  const auto& f = frames[0];
  EXPECT_EQ(f[0], 0x11);
  EXPECT_EQ(f[1], 3);
  EXPECT_EQ(f[2], 3);
  EXPECT_TRUE(std::all_of(f.begin() + 3, f.begin() + 1027, [](auto b) { return b == 0; }));
  EXPECT_EQ(f[1027], 0x11);

  BlockData data{};
  data[0] = 0x11;  // data XOR 0x11: check byte 0, whatever the block number
  EXPECT_TRUE(link.WriteBlock(5, data, 0x11));
  EXPECT_TRUE(link.WriteBlock(100, data, 0x11));
  EXPECT_EQ(Frames()[1][1027], 0);
  EXPECT_EQ(Frames()[2][1027], 0);
  EXPECT_EQ(Frames()[2][1], 100);
  EXPECT_EQ(processed, 3) << "messages are processed once per block write";
}

TEST_F(Link, NoMessagesAreProcessedWhileAReplyIsAwaited) {
  auto link = MakeLink(stepping.Fn());
  fake.SetResponder(nullptr);  // silence: every wait runs to its limit
  EXPECT_FALSE(link.DeviceReady());
  EXPECT_EQ(processed, 0) << "the handshake processes no messages";
  BlockData data{};
  EXPECT_FALSE(link.WriteBlock(3, data, 0));
  EXPECT_EQ(processed, 1) << "only the one call at the start of the block write";
}

TEST_F(Link, ABlockWriteProcessesMessagesRightAfterItsPurge) {
  std::vector<std::string> lastCallSeen;
  auto link = BootloaderLink(
      port, [this](const std::string& l) { log.push_back(l); },
      [&] {
        // The link's own calls: the event thread may start its wait meanwhile.
        const auto calls = fake.CallsNamed({"PurgeComm", "WriteFile"});
        lastCallSeen.push_back(calls.empty() ? "nothing" : calls.back());
      },
      stepping.Fn());
  BlockData data{};
  for (const std::uint8_t n : {3, 4}) {
    fake.ClearCalls();
    EXPECT_TRUE(link.WriteBlock(n, data, 0));
  }
  EXPECT_EQ(lastCallSeen, (std::vector<std::string>{"PurgeComm(15)", "PurgeComm(15)"}))
      << "the window sees a port already emptied for this block";
}

TEST_F(Link, EachBlockWriteStartsFromNothing) {
  auto link = MakeLink(stepping.Fn());
  BlockData data{};
  EXPECT_TRUE(link.WriteBlock(7, data, 0));
  fake.SetResponder(nullptr);        // the device falls silent
  fake.Receive({0x55, 0x11, 0xAA});  // a late ack: purged at the start of the next write
  EXPECT_FALSE(link.WriteBlock(7, data, 0));
  EXPECT_EQ(log, Lines({"Блок: N7 успешно записан.", "Ошибка записи - Блок: N7"}));
}

TEST_F(Link, ABlockAnsweredWithTheHandshakeAckFails) {
  auto link = MakeLink(stepping.Fn());
  BlockData data{};
  // Answers the fifth piece of the frame (the check byte) with the handshake's ack.
  fake.SetResponder([n = 0](const std::vector<std::uint8_t>&) mutable {
    return ++n == 5 ? std::vector<std::uint8_t>{0x55, 0x33, 0xAA} : std::vector<std::uint8_t>{};
  });
  EXPECT_FALSE(link.WriteBlock(7, data, 0));
  EXPECT_EQ(log.back(), "Ошибка записи - Блок: N7");
}

// --- the upload run ----------------------------------------------------------

namespace {
struct ControlLog {
  std::vector<std::string> events;
  UploadControls Controls(std::vector<std::string>& log) {
    return {[this](bool e) { events.push_back(std::string("CheckBox1 ") + (e ? "on" : "off")); },
            [this](bool e) { events.push_back(std::string("Button1 ") + (e ? "on" : "off")); },
            [this](bool e) { events.push_back(std::string("Button3 ") + (e ? "on" : "off")); },
            [this] { events.push_back("clear"); },
            [&log](const std::string& l) { log.push_back(l); }};
  }
};

FirmwareImageBytes PatternImage() {
  FirmwareImageBytes image{};
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 10));
  return image;
}
}  // namespace

class Upload : public Link {
 protected:
  UploadOutcome Run(BootloaderLink& link) {
    ControlsObserver observer(controls.Controls(log));
    return RunUpload(port, link, image, observer, [this] { ++processed; });
  }
  FirmwareImageBytes image = PatternImage();
  ControlLog controls;
};

TEST_F(Upload, EveryBlockAcceptedGives126LinesAndSendsTheImage) {
  auto link = MakeLink();
  EXPECT_EQ(Run(link), UploadOutcome::Completed);
  ASSERT_EQ(log.size(), 126u);
  EXPECT_EQ(log[0], "85 51 170");
  EXPECT_EQ(log[1], "Устройство готово!");
  EXPECT_EQ(log[2], "Блок: N3 успешно записан.");
  EXPECT_EQ(log[124], "Блок: N125 успешно записан.");
  EXPECT_EQ(log[125], "Процесс прошивки закончен, брат!");
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 123u);
  for (unsigned i = 0; i < 123; ++i) {
    const unsigned n = 3 + i;
    const auto& f = frames[i];
    ASSERT_EQ(f[1], n);
    ASSERT_TRUE(std::equal(f.begin() + 3, f.begin() + 1027, image.begin() + n * 1024));
  }
  EXPECT_EQ(controls.events,
            (std::vector<std::string>{"CheckBox1 off", "Button1 off", "Button3 off", "clear",
                                      "Button3 on", "Button1 on", "CheckBox1 on"}));
}

TEST_F(Upload, ABlockRefusedTwiceIsRetriedWithTheSameFrame) {
  device.Refuse(7, 2);
  auto link = MakeLink();
  EXPECT_EQ(Run(link), UploadOutcome::Completed);
  const auto first = std::find(log.begin(), log.end(), "Ошибка записи - Блок: N7");
  ASSERT_NE(first, log.end());
  EXPECT_EQ(*(first + 1), "Ошибка записи - Блок: N7");
  EXPECT_EQ(*(first + 2), "Блок: N7 успешно записан.");
  EXPECT_EQ(*(first + 3), "Блок: N8 успешно записан.");
  EXPECT_EQ(Frames()[4], Frames()[5]);
  EXPECT_EQ(Frames()[5], Frames()[6]);
  EXPECT_EQ(log.size(), 128u);
}

TEST_F(Upload, ABlockRefusedSixTimesEndsTheRun) {
  device.Refuse(7, 6);
  auto link = MakeLink();
  EXPECT_EQ(Run(link), UploadOutcome::BlockFailed);
  const std::vector<std::string> tail(log.end() - 8, log.end());
  EXPECT_EQ(tail, Lines({"Ошибка записи - Блок: N7", "Ошибка записи - Блок: N7",
                         "Ошибка записи - Блок: N7", "Ошибка записи - Блок: N7",
                         "Ошибка записи - Блок: N7", "Ошибка записи - Блок: N7", "Ошибка записи!!!",
                         "Процесс прошивки закончен, брат!"}));
  EXPECT_EQ(Frames().back()[1], 7) << "blocks after 7 are never sent";
  EXPECT_EQ(controls.events.back(), "CheckBox1 on");
}

TEST_F(Upload, ARefusedHandshakeEndsTheRunWithItsTwoLines) {
  device.SetHandshake(sim::HandshakeMode::kReversed);
  auto link = MakeLink(stepping.Fn());
  EXPECT_EQ(Run(link), UploadOutcome::HandshakeRefused);
  EXPECT_EQ(log, Lines({"170 51 85", "Устройство не готово!"}));
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(controls.events.back(), "CheckBox1 on");
}

TEST_F(Upload, StaleBytesAreGoneBeforeTheHandshake) {
  fake.Receive(std::vector<std::uint8_t>(300, 0x55));
  auto link = MakeLink();
  EXPECT_EQ(Run(link), UploadOutcome::Completed);
  EXPECT_EQ(log[0], "85 51 170");
  EXPECT_EQ(fake.CallsNamed({"ReadFile"}).size(), 256u + 3u * 124u);
}

TEST_F(Upload, APortErrorEnablesTheControlsAgainAndPassesOn) {
  auto link = MakeLink();
  fake.FailAlways("PurgeComm", 31);
  EXPECT_THROW(Run(link), serial::EVaCommError);
  EXPECT_EQ(controls.events,
            (std::vector<std::string>{"CheckBox1 off", "Button1 off", "Button3 off", "clear",
                                      "Button3 on", "Button1 on", "CheckBox1 on"}));
  fake.FailAlways("PurgeComm", 0);
}

TEST_F(Upload, WithThePortOffTheHandshakeRunsToItsLimit) {
  port.Close();
  auto link = MakeLink(stepping.Fn());
  EXPECT_EQ(Run(link), UploadOutcome::HandshakeRefused);
  EXPECT_EQ(log, Lines({"0 0 0", "Устройство не готово!"}));
  EXPECT_GE(stepping.now, 2500 * 1000);
}

TEST_F(Upload, ASecondRunAfterAFailureStartsAgainWithAHandshakeAndBlock3) {
  device.Refuse(7, 6);
  auto link = MakeLink();
  EXPECT_EQ(Run(link), UploadOutcome::BlockFailed);
  const std::size_t framesBefore = Frames().size();
  const auto writtenBefore = fake.Written().size();
  log.clear();
  EXPECT_EQ(Run(link), UploadOutcome::Completed);
  EXPECT_EQ(log[0], "85 51 170");
  EXPECT_EQ(log[2], "Блок: N3 успешно записан.");
  const auto written = fake.Written();
  EXPECT_EQ(written[writtenBefore], 0x33) << "a new handshake first";
  EXPECT_EQ(written[writtenBefore + 1], 0x33);
  EXPECT_EQ(Frames()[framesBefore][1], 3) << "then block 3 again";
}
