// The simulated bootloader's engine, in-process with made-up time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/tools/sim/SimFrames.h"
#include "tools/sim/BootloaderSim.h"

namespace {

using namespace std::chrono_literals;
using namespace simtest;

// ---------------------------------------------------------------------------
// The engine, driven with made-up time.

class SimEngine : public ::testing::Test {
 protected:
  void Make(SimOptions options = {}) { engine_.emplace(std::move(options)); }
  BootloaderSim& E() { return *engine_; }

  void Send(const Bytes& bytes, TimePoint at) { E().Receive(bytes, at); }
  void Send(const Bytes& bytes) { Send(bytes, now_); }

  // Everything due at `at`, concatenated.
  Bytes Answers(TimePoint at) {
    E().Advance(at);
    Bytes out;
    for (const auto& a : E().TakeDueAnswers(at))
      out.insert(out.end(), a.bytes.begin(), a.bytes.end());
    return out;
  }
  Bytes Answers() { return Answers(now_); }

  Bytes BlockAt(int n) {
    const auto& m = E().Memory();
    return Bytes(m.begin() + n * 1024, m.begin() + (n + 1) * 1024);
  }

  const TimePoint now_ = TimePoint{} + 1h;
  std::optional<BootloaderSim> engine_;
};

using Events = std::vector<std::string>;

TEST_F(SimEngine, HandshakeIsAcknowledged) {
  Make();
  Send(kHandshake);
  EXPECT_EQ(Answers(), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), Events{"HANDSHAKE"});
}

TEST_F(SimEngine, HandshakeModes) {
  const std::vector<std::pair<sim::HandshakeMode, Bytes>> cases = {
      {sim::HandshakeMode::kSilent, {}},
      {sim::HandshakeMode::kShort, {0x55, 0x33}},
      {sim::HandshakeMode::kReversed, {0xAA, 0x33, 0x55}},
      {sim::HandshakeMode::kDoubled, {0x55, 0x33, 0xAA, 0x55, 0x33, 0xAA}},
  };
  for (const auto& [mode, expected] : cases) {
    SimOptions o;
    o.handshake = mode;
    Make(o);
    Send(kHandshake);
    EXPECT_EQ(Answers(now_ + 1s), expected) << static_cast<int>(mode);
    EXPECT_EQ(E().TakeEvents(), Events{"HANDSHAKE"});
    EXPECT_FALSE(E().HasPendingAnswers());
  }
}

TEST_F(SimEngine, RequestSplitAcrossReadsWithinTheGap) {
  Make();
  Send({0x33}, now_);
  Send({0x33}, now_ + 50ms);  // a pause of exactly the gap is still one request
  EXPECT_EQ(Answers(now_ + 50ms), kHandshakeAck);

  const Bytes frame = Frame(9, Data(1));
  Send(Slice(frame, 0, 700), now_ + 100ms);
  Send(Slice(frame, 700, frame.size()), now_ + 150ms);
  EXPECT_EQ(Answers(now_ + 150ms), kBlockAck);
  EXPECT_EQ(BlockAt(9), Data(1));
  EXPECT_EQ(E().TakeEvents(), (Events{"HANDSHAKE", "BLOCK 9 OK"}));
}

TEST_F(SimEngine, BlockIsStoredAtItsAddressAndNothingElseChanges) {
  Make();
  EXPECT_FALSE(E().TakeMemoryChanged());
  Send(Frame(7, Data(3)));
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 7 OK"});
  EXPECT_TRUE(E().TakeMemoryChanged());
  EXPECT_FALSE(E().TakeMemoryChanged());

  const auto& m = E().Memory();
  EXPECT_EQ(BlockAt(7), Data(3));
  EXPECT_TRUE(std::all_of(m.begin(), m.begin() + 7 * 1024, [](auto b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(m.begin() + 8 * 1024, m.end(), [](auto b) { return b == 0; }));
}

TEST_F(SimEngine, FirstAndLastBlocksOfTheMemory) {
  Make();
  Send(Frame(0, Data(4)));
  Send(Frame(127, Data(5)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(BlockAt(0), Data(4));
  EXPECT_EQ(BlockAt(127), Data(5));
}

TEST_F(SimEngine, ZeroBlockWithCheckByte0x11IsAccepted) {
  Make();
  Bytes frame = {0x11, 0x03, 0x03};
  frame.resize(3 + 1024, 0x00);
  frame.push_back(0x11);
  Send(frame);
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 3 OK"});
}

TEST_F(SimEngine, BadCheckByteIsRefusedAndStoresNothing) {
  Make();
  Bytes frame = Frame(5, Data(8));
  frame.back() ^= 0x01;
  Send(frame);
  EXPECT_EQ(Answers(), kRefused);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 5 BADXOR"});
  EXPECT_FALSE(E().TakeMemoryChanged());
  EXPECT_EQ(BlockAt(5), Bytes(1024, 0));

  Bytes data_flipped = Frame(5, Data(8));
  data_flipped[500] ^= 0x80;  // a data byte, check byte left as it was
  Send(data_flipped);
  EXPECT_EQ(Answers(), kRefused);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 5 BADXOR"});
}

TEST_F(SimEngine, BadBlockNumberIsRefused) {
  Make();
  Send(Frame(5, Data(1), 6));  // the check byte is right for the bytes sent
  Send(Frame(128, Data(2)));   // beyond the 128 KiB memory
  Send(Frame(255, Data(3)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA}));
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 5 BADNUM", "BLOCK 128 BADNUM", "BLOCK 255 BADNUM"}));
  EXPECT_FALSE(E().TakeMemoryChanged());
  EXPECT_EQ(BlockAt(5), Bytes(1024, 0));
  EXPECT_EQ(BlockAt(6), Bytes(1024, 0));
}

TEST_F(SimEngine, RetriedBlockOverwrites) {
  Make();
  Send(Frame(4, Data(1)));
  Send(Frame(4, Data(2)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(BlockAt(4), Data(2));
}

TEST_F(SimEngine, RefuseCountsIntactFramesOfThatBlockOnly) {
  SimOptions o;
  o.refuse = {{7, 2}};
  Make(o);
  Send(Frame(6, Data(1)));
  Bytes bad = Frame(7, Data(2));
  bad.back() ^= 0xFF;
  Send(bad);  // a damaged frame is no attempt
  Send(Frame(7, Data(2)));
  Send(Frame(7, Data(2)));
  EXPECT_EQ(BlockAt(7), Bytes(1024, 0));
  Send(Frame(7, Data(2)));
  Send(Frame(7, Data(3)));
  EXPECT_EQ(Answers(), (Bytes{0x55, 0x11, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE, 0xAA, 0x55, 0xEE,
                              0xAA, 0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 6 OK", "BLOCK 7 BADXOR", "BLOCK 7 REFUSED",
                                      "BLOCK 7 REFUSED", "BLOCK 7 OK", "BLOCK 7 OK"}));
  EXPECT_EQ(BlockAt(7), Data(3));
}

TEST_F(SimEngine, GapDropsAPartialFrameAndTheNextFrameIsServed) {
  Make();
  const Bytes frame = Frame(10, Data(6));
  Send(Slice(frame, 0, 500), now_);
  // The deadline lies just past the gap; reaching it closes the partial frame
  // without waiting for another byte.
  const auto deadline = E().NextDeadline();
  ASSERT_TRUE(deadline.has_value());
  EXPECT_GT(*deadline, now_ + 50ms);
  EXPECT_LE(*deadline, now_ + 51ms);
  E().Advance(now_ + 50ms);
  EXPECT_TRUE(E().TakeEvents().empty());
  E().Advance(*deadline);
  EXPECT_EQ(E().TakeEvents(), Events{"RESYNC 500"});
  EXPECT_FALSE(E().NextDeadline().has_value());

  Send(frame, now_ + 200ms);
  EXPECT_EQ(Answers(now_ + 200ms), kBlockAck);
  EXPECT_EQ(BlockAt(10), Data(6));
}

TEST_F(SimEngine, GapNoticedOnTheNextBytesToo) {
  Make();
  const Bytes frame = Frame(11, Data(7));
  Send(Slice(frame, 0, 1027), now_);  // all but the check byte
  Send(frame, now_ + 60ms);           // the host's retry after a purge
  EXPECT_EQ(Answers(now_ + 60ms), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"RESYNC 1027", "BLOCK 11 OK"}));
}

TEST_F(SimEngine, LoneHandshakeByteCutByTheGap) {
  Make();
  Send({0x33}, now_);
  Send(kHandshake, now_ + 100ms);
  EXPECT_EQ(Answers(now_ + 100ms), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"RESYNC 1", "HANDSHAKE"}));
}

TEST_F(SimEngine, BytesStartingNoRequestAreIgnoredAndCounted) {
  Make();
  Send({0x00, 0xFF, 0x55, 0xAA});
  EXPECT_TRUE(E().TakeEvents().empty());  // the run may go on
  Send({0x33, 0x01, 0x33, 0x33});         // a lone 0x33 is ignored too
  EXPECT_EQ(Answers(), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"IGNORED 6", "HANDSHAKE"}));

  // A run is also closed by the gap, or at the end.
  Send({0x01, 0x02}, now_ + 1s);
  E().Advance(now_ + 1s + 51ms);
  EXPECT_EQ(E().TakeEvents(), Events{"IGNORED 2"});
  Send({0x03});
  E().Finish();
  EXPECT_EQ(E().TakeEvents(), Events{"IGNORED 1"});
}

TEST_F(SimEngine, LoneHandshakeByteBeforeAFrame) {
  Make();
  Bytes bytes = {0x33};
  const Bytes frame = Frame(12, Data(9));
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  Send(bytes);
  EXPECT_EQ(Answers(), kBlockAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"IGNORED 1", "BLOCK 12 OK"}));
}

TEST_F(SimEngine, LateAckHoldsTheFirstAttemptAndTheAnswersBehindIt) {
  SimOptions o;
  o.late_ack_block = 4;  // default delay 5200 ms
  Make(o);
  Send(Frame(4, Data(1)), now_);
  EXPECT_EQ(E().TakeEvents(), Events{"BLOCK 4 OK"});
  EXPECT_EQ(E().NextDeadline(), now_ + 5200ms);
  EXPECT_TRUE(Answers(now_ + 5199ms).empty());

  // The host gave up after 5000 ms and sent the block again: its answer
  // queues behind the late one.
  Send(Frame(4, Data(1)), now_ + 5005ms);
  EXPECT_TRUE(Answers(now_ + 5005ms).empty());
  EXPECT_EQ(Answers(now_ + 5200ms), (Bytes{0x55, 0x11, 0xAA, 0x55, 0x11, 0xAA}));

  Send(Frame(4, Data(1)), now_ + 6s);  // later attempts are not delayed
  EXPECT_EQ(Answers(now_ + 6s), kBlockAck);
}

TEST_F(SimEngine, LateAckWithItsOwnDelay) {
  SimOptions o;
  o.late_ack_block = 3;
  o.late_ack_delay = 300ms;
  Make(o);
  Send(Frame(3, Data(1)), now_);
  EXPECT_TRUE(Answers(now_ + 299ms).empty());
  EXPECT_EQ(Answers(now_ + 300ms), kBlockAck);
}

TEST_F(SimEngine, BaudPacesAnswersFromTheRequestsFirstByte) {
  SimOptions o;
  o.baud = 115200;
  Make(o);
  Send(kHandshake, now_);
  // 5 bytes of 10 bits at 115200 baud: 434 us.
  EXPECT_TRUE(Answers(now_ + 433us).empty());
  EXPECT_EQ(Answers(now_ + 435us), kHandshakeAck);

  // 1028 + 3 bytes: 89.496 ms, counted from the frame's first byte.
  const Bytes frame = Frame(3, Data(2));
  const TimePoint start = now_ + 1s;
  Send(Slice(frame, 0, 10), start);
  Send(Slice(frame, 10, frame.size()), start + 20ms);
  EXPECT_TRUE(Answers(start + 89ms).empty());
  EXPECT_EQ(E().NextDeadline(), start + 89496us);
  EXPECT_EQ(Answers(start + 90ms), kBlockAck);
}

TEST_F(SimEngine, RefusalsArePacedToo) {
  SimOptions o;
  o.baud = 9600;
  Make(o);
  Bytes frame = Frame(3, Data(2));
  frame.back() ^= 1;
  Send(frame, now_);
  EXPECT_TRUE(Answers(now_ + 1073ms).empty());  // 10310 bits at 9600: 1073.96 ms
  EXPECT_EQ(Answers(now_ + 1074ms), kRefused);
}

TEST_F(SimEngine, DropAfterMarksTheAcknowledgementAndGoesDeaf) {
  SimOptions o;
  o.drop_after = 5;
  o.refuse = {{5, 1}};
  Make(o);
  Send(Frame(5, Data(1)));  // refused: no drop yet
  auto answers = E().TakeDueAnswers(now_);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(answers[0].then_drop);

  Send(Frame(5, Data(1)));
  answers = E().TakeDueAnswers(now_);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, kBlockAck);
  EXPECT_TRUE(answers[0].then_drop);

  Send(kHandshake);
  Send(Frame(6, Data(1)));
  EXPECT_TRUE(E().TakeDueAnswers(now_ + 1s).empty());
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 5 REFUSED", "BLOCK 5 OK"}));
  EXPECT_EQ(BlockAt(6), Bytes(1024, 0));
}

TEST_F(SimEngine, ABoardTakenOffIsSilentAndTheNextOneStartsEmpty) {
  SimOptions o;
  o.refuse = {{3, 1}};
  Make(o);
  Send(Frame(3, Data(1)));  // refused once, as the options say
  Send(Frame(3, Data(1)));
  Bytes refusedThenAccepted = kRefused;
  refusedThenAccepted.insert(refusedThenAccepted.end(), kBlockAck.begin(), kBlockAck.end());
  EXPECT_EQ(Answers(), refusedThenAccepted);
  EXPECT_EQ(BlockAt(3), Data(1));
  Send(kHandshake);
  const Bytes half = Frame(4, Data(2));
  Send(Bytes(half.begin(), half.begin() + 100));

  E().TakeOff();
  EXPECT_FALSE(E().OnFixture());
  EXPECT_TRUE(Answers().empty()) << "the handshake's answer went with the board";
  Send(kHandshake);
  Send(Frame(5, Data(3)));
  EXPECT_TRUE(Answers(now_ + 1s).empty()) << "nobody is there to answer";

  E().PutOn();
  EXPECT_EQ(E().Board(), 2);
  EXPECT_EQ(BlockAt(3), Bytes(1024, 0)) << "a new board's memory is empty";
  EXPECT_EQ(BlockAt(5), Bytes(1024, 0));
  Send(Frame(3, Data(4)), now_ + 2s);
  EXPECT_EQ(Answers(now_ + 2s), kRefused) << "the new board refuses its first frame too";
  Send(kHandshake, now_ + 2s);
  EXPECT_EQ(Answers(now_ + 2s), kHandshakeAck);
  EXPECT_EQ(E().TakeEvents(), (Events{"BLOCK 3 REFUSED", "BLOCK 3 OK", "HANDSHAKE", "BOARD 1 OFF",
                                      "BOARD 2 ON", "BLOCK 3 REFUSED", "HANDSHAKE"}));
}

TEST(SimNoise, NeverHoldsAnAcknowledgementStartAndIsRepeatable) {
  sim::NoiseSource a;
  sim::NoiseSource b;
  const Bytes first = a.Next(10000);
  ASSERT_EQ(first.size(), 10000u);
  EXPECT_EQ(std::count(first.begin(), first.end(), 0x55), 0);
  EXPECT_EQ(b.Next(10000), first);
  EXPECT_NE(a.Next(16), Bytes(first.begin(), first.begin() + 16));  // goes on, no restart
  // Not a constant filler: many distinct values.
  std::vector<bool> seen(256);
  for (const auto v : first) seen[v] = true;
  EXPECT_GT(std::count(seen.begin(), seen.end(), true), 200);
}

}  // namespace
