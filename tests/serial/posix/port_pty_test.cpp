// The port object on real pseudo-terminals, through the termios back end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "serial/VaComm.h"
#include "tests/support/PortFixture.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::Pty;
using testsupport::PumpUntil;

namespace {

class PortOnPty : public ::testing::Test {
 protected:
  void OpenApplicationPort() {
    port.SetBaudrate(br115200);
    port.SetDeviceName(pty.SlavePath());
    port.Open();
  }

  testsupport::RecordingApplication app;
  Pty pty;
  TVaComm port{nullptr};
};

}  // namespace

TEST_F(PortOnPty, OpensAMappedComNameOnceAndRefusesASecondOpenAsBusy) {
  testsupport::ScopedPortMap map;
  map.Map("COM3", pty.SlavePath());
  port.SetDeviceName("COM3");
  port.Open();
  EXPECT_TRUE(port.IsOpen());
  TVaComm second(nullptr);
  second.SetDeviceName("COM3");
  try {
    second.Open();
    FAIL() << "a second open must be refused";
  } catch (const EVaCommError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Can't open specified device COM3 (Error 16, Device or resource busy)");
  }
  EXPECT_FALSE(second.IsOpen());
  port.Close();
  second.Open();  // free again after the close
  EXPECT_TRUE(second.IsOpen());
  second.Close();
}

TEST_F(PortOnPty, AMissingDeviceIsReportedAsNotFound) {
  port.SetDeviceName("/dev/comflash-no-such-device");
  try {
    port.Open();
    FAIL();
  } catch (const EVaCommError& e) {
    EXPECT_EQ(std::string(e.what()), "Specified device not found (/dev/comflash-no-such-device).");
  }
}

TEST_F(PortOnPty, TheLineIsRaw115200EightNOne) {
  OpenApplicationPort();
  const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | ISTRIP));
  port.Close();
}

TEST_F(PortOnPty, BytesPassEightBitCleanBothWays) {
  OpenApplicationPort();
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(port.WriteBytes(all.data(), 256), 256);
  EXPECT_EQ(pty.Receive(256, 2s), all);
  pty.Send(all);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return port.InQueueCount() == 256; }));
  std::vector<std::uint8_t> got(256);
  EXPECT_EQ(port.ReadBytes(got.data(), 256), 256);
  EXPECT_EQ(got, all);
  port.Close();
}

TEST_F(PortOnPty, ReceivedCharactersAreAnnouncedOncePerArrival) {
  std::vector<std::int32_t> counts;
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t n) { counts.push_back(n); };
  OpenApplicationPort();
  pty.Send("12345");
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
  PumpUntil([] { return false; }, 200ms);  // bytes stay queued, nothing new arrives
  EXPECT_EQ(counts, std::vector<std::int32_t>{5});
  EXPECT_EQ(port.InQueueCount(), 5) << "the dispatch reads nothing";
  pty.Send("6");
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts[1], 6);
  port.Close();
}

TEST_F(PortOnPty, PurgeEmptiesTheReceiveQueue) {
  OpenApplicationPort();
  pty.Send("12345");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return port.InQueueCount() == 5; }));
  port.PurgeAll();
  EXPECT_EQ(port.InQueueCount(), 0);
  std::uint8_t b = 0;
  EXPECT_FALSE(port.ReadByte(b));
  port.Close();
}

// The request of a block write, handed over in pieces, reaches the line whole
// while the main thread polls without processing messages.
TEST_F(PortOnPty, APieceHandedOverAfterTheBufferRanEmptyIsNotHeldBack) {
  OpenApplicationPort();
  std::vector<std::uint8_t> data(1024);
  std::mt19937 rng(7);
  for (int round = 0; round < 1000; ++round) {
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> frame = {0x11, static_cast<std::uint8_t>(round),
                                       static_cast<std::uint8_t>(round)};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(static_cast<std::uint8_t>(round * 3));
    std::atomic<bool> done{false};
    std::vector<std::uint8_t> got;
    std::thread device([&] {
      got = pty.Receive(frame.size(), 2s);
      done = true;
    });
    port.WriteByte(frame[0]);
    port.WriteByte(frame[1]);
    port.WriteByte(frame[2]);
    port.WriteBytes(data.data(), 1024);
    port.WriteByte(frame[1027]);
    while (!done) port.InQueueCount();  // the reply wait's poll
    device.join();
    ASSERT_EQ(got, frame) << "round " << round;
  }
  port.Close();
}

TEST_F(PortOnPty, WithATxEmptyHandlerTheWriterWaitsForTheMainThread) {
  int notices = 0;
  port.SetOnTxEmpty([&](TVaCustomComm*) { ++notices; });
  OpenApplicationPort();
  port.WriteByte('a');
  EXPECT_EQ(pty.Receive(1, 2s).size(), 1u);
  ASSERT_TRUE(testsupport::WaitUntil([] { return framework::WaitForQueuedCall(0); }));
  port.WriteByte('b');  // appended while the writer hands its notice over
  EXPECT_TRUE(pty.Receive(1, 200ms).empty());
  ASSERT_TRUE(PumpUntil([&] { return notices >= 1; }));
  EXPECT_EQ(pty.Receive(1, 2s), std::vector<std::uint8_t>{'b'});
  port.Close();
}

TEST_F(PortOnPty, TenMegabytesInRandomPiecesWithRandomPurgesArriveInOrder) {
  port.Buffers().SetWriteTimeout(5000);
  OpenApplicationPort();
  // A piece: 0xA5, its number in 5 seven-bit groups, its length in 2, then
  // payload bytes below 0x80, so the receiver can tell pieces apart.
  auto makePiece = [](std::uint32_t seq, std::uint32_t len) {
    std::vector<std::uint8_t> p{0xA5};
    for (int i = 4; i >= 0; --i) p.push_back((seq >> (7 * i)) & 0x7F);
    p.push_back((len >> 7) & 0x7F);
    p.push_back(len & 0x7F);
    for (std::uint32_t j = 0; j < len; ++j) p.push_back((seq * 31 + j) & 0x7F);
    return p;
  };
  std::atomic<bool> writing{true};
  std::vector<std::uint8_t> received;
  std::thread device([&] {
    for (;;) {
      auto chunk = pty.Receive(65536, 100ms);
      received.insert(received.end(), chunk.begin(), chunk.end());
      if (chunk.empty() && !writing) break;
    }
  });
  std::mt19937 rng(11);
  std::vector<std::uint64_t> writtenAt;  // bytes written before each piece
  std::vector<std::uint64_t> purgeAt;    // bytes written before each purge
  std::uint64_t total = 0;
  std::uint32_t seq = 0;
  while (total < 10u * 1024 * 1024) {
    const auto piece = makePiece(seq++, rng() % 2000 + 1);
    writtenAt.push_back(total);
    ASSERT_EQ(port.WriteBytes(piece.data(), static_cast<std::int32_t>(piece.size())),
              static_cast<std::int32_t>(piece.size()));
    total += piece.size();
    if (rng() % 200 == 0) {
      purgeAt.push_back(total);
      port.PurgeAll();
    }
  }
  ASSERT_TRUE(
      testsupport::WaitUntil([&] { return port.WriteThread()->BufferedCount() == 0; }, 10s));
  writing = false;
  device.join();

  // Parse: pieces in strictly increasing order; each one whole, or cut short
  // or missing only close before a purge.
  auto nearPurge = [&](std::uint32_t s) {
    for (auto p : purgeAt)
      if (p >= writtenAt[s] && p - writtenAt[s] < 64 * 1024) return true;
    return false;
  };
  std::int64_t last = -1;
  std::size_t i = 0;
  std::size_t whole = 0;
  std::size_t cutHeaders = 0;
  while (i < received.size()) {
    ASSERT_EQ(received[i], 0xA5) << "at byte " << i;
    std::size_t j = i + 1;
    while (j < received.size() && received[j] != 0xA5) ++j;
    if (j - i < 8) {
      // A purge cut a piece inside its header: at most one such piece per purge.
      ASSERT_LT(cutHeaders++, purgeAt.size()) << "at byte " << i;
      i = j;
      continue;
    }
    std::uint32_t s = 0;
    for (int k = 0; k < 5; ++k) s = (s << 7) | received[i + 1 + k];
    const std::uint32_t len = (received[i + 6] << 7) | received[i + 7];
    ASSERT_GT(static_cast<std::int64_t>(s), last) << "reordered or duplicated";
    ASSERT_LT(s, seq);
    for (std::uint32_t m = last + 1; m < s; ++m)
      ASSERT_TRUE(nearPurge(m)) << "piece " << m << " lost";
    const auto expected = makePiece(s, len);
    const std::size_t got = j - i;
    ASSERT_LE(got, expected.size());
    ASSERT_TRUE(std::equal(received.begin() + i, received.begin() + j, expected.begin()));
    if (got < expected.size()) {
      ASSERT_TRUE(nearPurge(s)) << "piece " << s << " cut short";
    } else {
      ++whole;
    }
    last = s;
    i = j;
  }
  for (std::uint32_t m = last + 1; m < seq; ++m)
    ASSERT_TRUE(nearPurge(m)) << "piece " << m << " lost";
  EXPECT_GT(whole, seq / 2) << "most pieces arrive";
  port.Close();
}

TEST_F(PortOnPty, AHangUpTurnsIntoErrorsNotAHang) {
  OpenApplicationPort();
  pty.HangUp();
  const auto t0 = std::chrono::steady_clock::now();
  bool failed = false;
  try {
    for (int i = 0; i < 100; ++i) {
      port.PurgeAll();
      port.WriteBytes("x", 1);
      std::uint8_t b;
      port.ReadByte(b);
    }
  } catch (const EVaCommError&) {
    failed = true;
  }
  EXPECT_TRUE(failed) << "a hung-up line must show up as an error";
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}
