// The line model between the host and the simulated chip.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/mcu/UartWire.h"

using mcu::ReceivedByte;
using mcu::UartWire;

namespace {

constexpr double kBaud = 115200;
constexpr double kBit = 1.0 / kBaud;

std::vector<std::uint8_t> Values(const std::vector<ReceivedByte>& bytes) {
  std::vector<std::uint8_t> v;
  for (const auto& b : bytes) v.push_back(b.value);
  return v;
}

}  // namespace

TEST(UartWire, AtOneRateEveryByteArrivesAsSentAtTheMiddleOfItsStopBit) {
  UartWire wire;
  const std::vector<std::uint8_t> sent{0x00, 0xFF, 0x55, 0xAA, 0x33, 0x11, 0x80, 0x01};
  for (const auto b : sent) wire.Send(b, 1.0, kBaud);
  EXPECT_NEAR(wire.Free(), 1.0 + 80 * kBit, 1e-12);
  const auto got = wire.Receive(1.0 + 80 * kBit, kBaud);
  ASSERT_EQ(Values(got), sent);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_FALSE(got[i].framing_error) << i;
    EXPECT_NEAR(got[i].at, 1.0 + (10.0 * i + 9.5) * kBit, 1e-12) << i;
  }
}

TEST(UartWire, NoByteIsThereBeforeItsTenBitsHaveNearlyPassed) {
  UartWire wire;
  wire.Send(0x42, 0.0, kBaud);
  wire.Send(0x43, 0.0, kBaud);
  EXPECT_TRUE(wire.Receive(9.4 * kBit, kBaud).empty());
  ASSERT_EQ(Values(wire.Receive(19.4 * kBit, kBaud)), (std::vector<std::uint8_t>{0x42}));
  ASSERT_TRUE(wire.NextDue(kBaud).has_value());
  EXPECT_NEAR(*wire.NextDue(kBaud), 19.5 * kBit, 1e-12);
  EXPECT_EQ(Values(wire.Receive(19.5 * kBit, kBaud)), (std::vector<std::uint8_t>{0x43}));
  EXPECT_FALSE(wire.NextDue(kBaud).has_value());
}

TEST(UartWire, ASenderNeverOvertakesItselfAndIdleGapsArePreserved) {
  UartWire wire;
  EXPECT_DOUBLE_EQ(wire.Send(1, 0.0, kBaud), 0.0);
  // Handed over while the first frame is still on the line: it waits.
  EXPECT_NEAR(wire.Send(2, 2 * kBit, kBaud), 10 * kBit, 1e-12);
  // Handed over after an idle gap: it starts then.
  EXPECT_DOUBLE_EQ(wire.Send(3, 1.0, kBaud), 1.0);
  const auto got = wire.Receive(2.0, kBaud);
  ASSERT_EQ(Values(got), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_NEAR(got[2].at, 1.0 + 9.5 * kBit, 1e-12);
}

TEST(UartWire, ASmallRateErrorIsTolerated) {
  UartWire wire;
  const std::vector<std::uint8_t> sent{0x33, 0x33, 0x11, 0xF0, 0x0F, 0x7E};
  for (const auto b : sent) wire.Send(b, 0.0, kBaud * 1.02);
  EXPECT_EQ(Values(wire.Receive(1.0, kBaud)), sent);
}

TEST(UartWire, AHostAtAnotherRateGetsGarbageOrFramingErrorsNeverTheBytesSent) {
  for (const double host : {9600.0, 57600.0, 230400.0}) {
    UartWire wire;
    for (int i = 0; i < 2; ++i) wire.Send(0x33, 0.0, host);
    const auto got = wire.Receive(1.0, kBaud);
    bool garbled = got.size() != 2;
    for (const auto& b : got) garbled = garbled || b.framing_error || b.value != 0x33;
    EXPECT_TRUE(garbled) << host << " baud came through unchanged";
  }
}

TEST(UartWire, ASlowSendersZeroBitsLookLikeZeroBytesWithFramingErrors) {
  // At 9600 baud one bit lasts 12 bit times at 115200: a start bit alone is
  // a whole zero byte whose stop bit is low.
  UartWire wire;
  wire.Send(0x00, 0.0, 9600);
  const auto got = wire.Receive(1.0, kBaud);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].value, 0x00);
  EXPECT_TRUE(got[0].framing_error);
}
