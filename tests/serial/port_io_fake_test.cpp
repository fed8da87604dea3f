// Read and write paths and event dispatch, on the scripted device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "serial/VaComm.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/support/PortFixture.h"
#include "tests/support/RecordingApplication.h"

using namespace serial;
using namespace std::chrono_literals;
using testsupport::CountingDisplay;
using testsupport::PumpUntil;
using testsupport::WaitUntil;

namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

class PortIo : public ::testing::Test {
 protected:
  testsupport::RecordingApplication app;
  FakeSerialApi fake;
  TVaComm port{nullptr, fake};
};

}  // namespace

TEST_F(PortIo, ReadsReturnAtOnceWithWhatIsQueued) {
  port.Open();
  std::uint8_t b = 7;
  EXPECT_FALSE(port.ReadByte(b));
  EXPECT_EQ(b, 7) << "an empty queue leaves the byte unchanged";
  fake.Receive({1, 2, 3, 4, 5});
  EXPECT_EQ(port.InQueueCount(), 5);
  EXPECT_TRUE(port.ReadByte(b));
  EXPECT_EQ(b, 1);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(port.ReadBytes(buf, 8), 4);
  EXPECT_EQ(buf[3], 5);
  port.Close();
}

TEST_F(PortIo, RequestsThatEndAtOnceAreTakenFromTheirStatusWithoutTheirEvent) {
  // The kernel32 back end leaves the event of its own at-once completions
  // alone: a read or a direct write that waited for it would time out.
  fake.SetSignalsAtOnce(false);
  port.Buffers().SetReadTimeout(2000);
  port.Buffers().SetWriteTimeout(2000);
  port.SetDirectWrite(true);
  port.Open();
  fake.Receive({0x55, 0x33, 0xAA});
  std::uint8_t reply[3] = {};
  for (auto& b : reply) ASSERT_TRUE(port.ReadByte(b));
  EXPECT_EQ(reply[0], 0x55);
  EXPECT_EQ(reply[2], 0xAA);
  std::uint8_t b = 7;
  EXPECT_FALSE(port.ReadByte(b)) << "an empty queue, ended at once with nothing";
  EXPECT_EQ(port.WriteBytes("abc", 3), 3);
  EXPECT_EQ(fake.Written(), Bytes("abc"));
  port.Close();
}

TEST_F(PortIo, TheWaitForQueuedBytesGoesToTheDeviceAndRaisesItsFailure) {
  port.WaitForInQueue(3, 500);
  EXPECT_TRUE(fake.CallsNamed({"WaitForReceived"}).empty()) << "a closed port asks no device";
  port.Open();
  fake.Receive({1, 2});
  port.WaitForInQueue(3, 1500);
  port.WaitForInQueue(3, 0);
  EXPECT_EQ(fake.CallsNamed({"WaitForReceived"}),
            (std::vector<std::string>{"WaitForReceived(3, 1500)"}))
      << "a limit already reached does not wait";
  EXPECT_EQ(port.InQueueCount(), 2) << "the wait takes no byte";
  fake.FailNext("WaitForReceived", 31);
  try {
    port.WaitForInQueue(3, 1500);
    ADD_FAILURE() << "no exception";
  } catch (const EVaCommError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error retrieving statistics (31)", 0), 0u) << e.what();
  }
  port.Close();
}

TEST_F(PortIo, AReadTheDeviceDoesNotCompleteTimesOutWithZeroAndIsEnded) {
  port.Buffers().SetReadTimeout(30);
  port.Open();
  fake.SetReadsPending(true);
  std::uint8_t buf[4];
  EXPECT_EQ(port.ReadBytes(buf, 4), 0);
  EXPECT_EQ(fake.CallsNamed({"CancelIoEx"}).size(), 1u);
  fake.FailNext("ReadFile", 31);
  try {
    port.ReadBytes(buf, 4);
    FAIL();
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Read error (31), A device attached to the system is not functioning");
  }
  port.Close();
}

TEST_F(PortIo, StatusReadsReportAndFailWithTheirMessage) {
  port.Open();
  fake.RaiseErrors(kCeOverrun);
  TVaCommStatus st;
  port.ReadStatus(st);
  EXPECT_EQ(st.Errors, kCeOverrun);
  port.ReadStatus(st);
  EXPECT_EQ(st.Errors, 0u) << "each read consumes the flags";
  fake.FailNext("ClearCommError", 31);
  EXPECT_THROW(port.InQueueCount(), EVaCommError);
  port.Close();
}

TEST_F(PortIo, DirectWritesWaitUpToTheTimeoutAndEndTheRequest) {
  port.SetDirectWrite(true);
  port.Buffers().SetWriteTimeout(30);
  port.Open();
  EXPECT_EQ(port.WriteBytes("abc", 3), 3);
  EXPECT_EQ(fake.Written(), Bytes("abc"));
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  EXPECT_EQ(port.WriteBytes("def", 3), 0);
  EXPECT_FALSE(fake.WriteOutstanding()) << "a timed-out write is ended before its record goes";
  fake.SetWriteMode(FakeSerialApi::WriteMode::Complete);
  fake.FailNext("WriteFile", 31);
  try {
    port.WriteBytes("x", 1);
    FAIL();
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Write error (31), A device attached to the system is not functioning");
  }
  EXPECT_TRUE(port.WriteByte('z')) << "the lock was released by the failure";
  port.Close();
}

TEST_F(PortIo, BufferCapacityAndTheRoomWait) {
  port.Buffers().SetWriteTimeout(100);
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  std::vector<std::uint8_t> block(2048, 0x5A);
  EXPECT_EQ(port.WriteBytes(block.data(), 2048), 2048) << "exactly the capacity fits at once";
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  const auto t0 = std::chrono::steady_clock::now();
  try {
    port.WriteBytes("x", 1);
    FAIL();
  } catch (const EVaCommError& e) {
    EXPECT_STREQ(e.what(), "Output buffer is full. Please check comm status.");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 2048) << "nothing of the request was buffered";

  // A write that must wait is accepted as soon as it fits (a longer limit
  // keeps a busy machine from failing the test).
  port.Buffers().SetWriteTimeout(3000);
  std::thread device([&] {
    std::this_thread::sleep_for(20ms);
    fake.CompleteWrite(1000);
  });
  EXPECT_EQ(port.WriteBytes(block.data(), 500), 500);
  device.join();
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 1548);
  port.Close();
}

TEST_F(PortIo, TheRoomWaitMeasuresAcrossAWrapOfTheTickCount) {
  // Readings start four ticks before the wrap and advance one tick each.
  std::uint32_t now = 0xFFFFFFFBu;
  int readings = 0;
  port.SetTickSource([&] {
    ++readings;
    return now++;
  });
  port.Buffers().SetWriteTimeout(10);
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  std::vector<std::uint8_t> block(2048, 0x5A);
  ASSERT_EQ(port.WriteBytes(block.data(), 2048), 2048);
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  readings = 0;
  EXPECT_THROW(port.WriteBytes("x", 1), EVaCommError);
  // Elapsed is now - start before the wrap and (0xFFFFFFFF - start) + now
  // after it: 1, 2, 3, 4, then 4, 5, ... 11 at the thirteenth reading, the
  // first above the 10 ms limit.
  EXPECT_EQ(readings, 13);
  port.Close();
}

TEST_F(PortIo, MoreThanTheCapacityFailsAfterTheTimeout) {
  port.Buffers().SetWriteTimeout(50);
  port.Open();
  std::vector<std::uint8_t> big(2049, 1);
  EXPECT_THROW(port.WriteBytes(big.data(), 2049), EVaCommError);
  port.Close();
}

TEST_F(PortIo, PartialWritesKeepTheOrder) {
  port.Open();
  fake.SetWriteMode(FakeSerialApi::WriteMode::Partial, 3);
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    const std::string piece = "<" + std::to_string(i) + ">";
    port.WriteBytes(piece.data(), static_cast<std::int32_t>(piece.size()));
    expected += piece;
  }
  ASSERT_TRUE(WaitUntil([&] { return fake.Written().size() == expected.size(); }));
  EXPECT_EQ(fake.Written(), Bytes(expected));
  port.Close();
}

TEST_F(PortIo, AWriteThatFailsAtOnceIsReportedAndRetried) {
  int errors = 0;
  port.OnError = [&](TVaCustomComm*, std::int32_t flags) {
    EXPECT_EQ(flags, static_cast<std::int32_t>(kCeFrame));
    ++errors;
  };
  port.Open();
  fake.FailNext("WriteFile", 31, 2);
  fake.RaiseErrors(kCeFrame);
  port.WriteBytes("hello", 5);
  ASSERT_TRUE(PumpUntil([&] { return fake.Written().size() == 5; }));
  EXPECT_EQ(fake.Written(), Bytes("hello"));
  EXPECT_EQ(errors, 1) << "the flags are reported once; the second failure finds none";
  EXPECT_EQ(fake.CallsNamed({"WriteFile"}).size(), 3u);
  port.Close();
}

TEST_F(PortIo, AWriteThatKeepsFailingIsRetriedAtAPaceAndKept) {
  int notices = 0;
  port.OnError = [&](TVaCustomComm*, std::int32_t) { ++notices; };
  port.Open();
  fake.FailAlways("WriteFile", 31);
  port.WriteBytes("kept", 4);
  const auto t0 = std::chrono::steady_clock::now();
  PumpUntil([] { return false; }, 500ms);  // an idle main thread runs every notice at once
  const auto tries = fake.CallsNamed({"WriteFile"}).size();
  EXPECT_GE(tries, 2u);
  EXPECT_LE(tries, 10u) << "retries are paced, not a spin";
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 500ms);
  fake.FailAlways("WriteFile", 0);
  ASSERT_TRUE(PumpUntil([&] { return fake.Written().size() == 4; }));
  EXPECT_EQ(fake.Written(), Bytes("kept")) << "nothing was dropped";
  port.Close();
}

TEST_F(PortIo, ACompletionFromBeforeAClearTakesNothingAppendedAfterIt) {
  port.Open();
  port.PurgeAll();  // acknowledged: later clears no longer wait for the writer
  fake.SetWriteMode(FakeSerialApi::WriteMode::Pending);
  std::mutex m;
  std::condition_variable cv;
  bool atHook = false, mainDone = false;
  fake.SetWaitingResultHook([&] {
    // The writer has taken its completion; the main thread clears and appends now.
    std::unique_lock lock(m);
    atHook = true;
    cv.notify_all();
    cv.wait(lock, [&] { return mainDone; });
  });
  port.WriteBytes("ABCD", 4);
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  fake.CompleteWrite(4);
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return atHook; }));
  }
  fake.SetWaitingResultHook(nullptr);
  port.Purge(kPurgeTxClear);
  port.WriteBytes("XY", 2);
  {
    std::lock_guard lock(m);
    mainDone = true;
  }
  cv.notify_all();
  ASSERT_TRUE(WaitUntil([&] { return fake.WriteOutstanding(); }));
  EXPECT_EQ(port.WriteThread()->BufferedCount(), 2) << "XY stays buffered";
  fake.CompleteWrite(2);
  // The device has the bytes before the writer has taken its completion.
  ASSERT_TRUE(WaitUntil([&] { return port.WriteThread()->BufferedCount() == 0; }));
  EXPECT_EQ(fake.Written(), Bytes("ABCDXY"));
  port.Close();
}

TEST_F(PortIo, AZeroLengthWriteWakesTheWriterWhichAnnouncesTxEmpty) {
  int txEmpty = 0;
  port.SetOnTxEmpty([&](TVaCustomComm*) { ++txEmpty; });
  port.Open();
  EXPECT_EQ(port.WriteBytes("", 0), 0);
  ASSERT_TRUE(PumpUntil([&] { return txEmpty == 1; }));
  port.Close();
}

// --- event dispatch ---------------------------------------------------------

TEST_F(PortIo, HandlersRunInTheOrderOfTheTable) {
  std::vector<std::string> order;
  port.OnRxFlag = [&](TVaCustomComm*) { order.push_back("RxFlag"); };
  port.OnCts = [&](TVaCustomComm*) { order.push_back("Cts"); };
  port.OnRing = [&](TVaCustomComm*) { order.push_back("Ring"); };
  port.SetOnTxEmpty([&](TVaCustomComm*) { order.push_back("TxEmpty"); });
  port.OnBreak = [&](TVaCustomComm*) { order.push_back("Break"); };
  port.OnEvent2 = [&](TVaCustomComm*) { order.push_back("Event2"); };
  port.Open();
  fake.RaiseEvents(kEvCts | kEvRxFlag);
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 2; }));
  fake.RaiseEvents(kEvTxEmpty | kEvRing | kEvEvent2 | kEvBreak);
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 6; }));
  EXPECT_EQ(order,
            (std::vector<std::string>{"RxFlag", "Cts", "Ring", "TxEmpty", "Break", "Event2"}));
  port.Close();
}

TEST_F(PortIo, ReceivedCharactersAndAnErrorInOneWait) {
  std::vector<std::int32_t> rx, errors;
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t n) { rx.push_back(n); };
  port.OnError = [&](TVaCustomComm*, std::int32_t e) { errors.push_back(e); };
  port.Open();
  fake.Receive({1, 2, 3, 4, 5});
  fake.RaiseErrors(kCeOverrun);
  fake.RaiseEvents(kEvRxChar | kEvErr);
  ASSERT_TRUE(PumpUntil([&] { return rx.size() == 1; }));
  EXPECT_EQ(rx[0], 5);
  EXPECT_TRUE(errors.empty()) << "the status read of the receive dispatch cleared the flags";
  EXPECT_EQ(port.InQueueCount(), 5) << "the dispatch reads no data";

  fake.RaiseErrors(kCeOverrun);
  fake.RaiseEvents(kEvErr);
  ASSERT_TRUE(PumpUntil([&] { return errors.size() == 1; }));
  EXPECT_EQ(errors[0], static_cast<std::int32_t>(kCeOverrun));
  port.Close();
}

TEST_F(PortIo, AFailingHandlerIsShownAndTheNextEventStillArrives) {
  int cts = 0, dsr = 0, errorCalls = 0;
  port.OnCts = [&](TVaCustomComm*) {
    ++cts;
    if (cts == 1) throw EVaCommError("cts handler failed");
  };
  port.OnDsr = [&](TVaCustomComm*) { ++dsr; };
  port.OnError = [&](TVaCustomComm*, std::int32_t) {
    ++errorCalls;
    throw std::runtime_error("error handler failed");
  };
  port.Open();
  fake.RaiseEvents(kEvCts | kEvDsr);
  ASSERT_TRUE(PumpUntil([&] { return app.Shown().size() == 1; }));
  EXPECT_EQ(app.Shown()[0], "cts handler failed");
  EXPECT_EQ(dsr, 0) << "the rest of that delivery is skipped";
  fake.RaiseEvents(kEvCts | kEvDsr);
  ASSERT_TRUE(PumpUntil([&] { return dsr == 1; }));
  EXPECT_EQ(cts, 2);
  // OnError has a guard of its own: the delivery goes on after it.
  fake.RaiseErrors(kCeFrame);
  fake.RaiseEvents(kEvErr | kEvDsr);
  ASSERT_TRUE(PumpUntil([&] { return dsr == 2; }));
  EXPECT_EQ(errorCalls, 1);
  EXPECT_EQ(app.Shown().back(), "error handler failed");
  port.Close();
}

TEST_F(PortIo, StopWhileWaitingOnTheDeviceDispatchesNothing) {
  int any = 0;
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++any; };
  port.OnError = [&](TVaCustomComm*, std::int32_t) { ++any; };
  port.Open();
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  // The wait has completed with bytes queued, but the thread wakes only for
  // the stop: it must end without handing the events over.
  fake.Receive({0x55, 0xAA});
  fake.RaiseErrors(0x0001);
  ASSERT_TRUE(fake.CompleteWaitUnsignalled(kEvRxChar | kEvErr));
  port.Close();
  EXPECT_FALSE(fake.WaitOutstanding());
  EXPECT_EQ(any, 0);
}

TEST_F(PortIo, AWaitThatEndsInFailureReportsNoEvents) {
  int rx = 0, lineErrors = 0;
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++rx; };
  port.OnError = [&](TVaCustomComm*, std::int32_t) { ++lineErrors; };
  CountingDisplay display(nullptr);
  port.SetDisplay(&display);
  port.Open();
  fake.RaiseErrors(kCeFrame);
  fake.RaiseEvents(kEvErr);
  ASSERT_TRUE(PumpUntil([&] { return lineErrors == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  // The device goes away: the wait ends in failure with the mask word still
  // holding the last delivery's bits, and the status can no longer be read.
  fake.FailAlways("ClearCommError", 21);
  ASSERT_TRUE(fake.FailWait(21));
  ASSERT_TRUE(PumpUntil([&] { return display.notes == 2; }));
  EXPECT_EQ(rx, 0);
  EXPECT_EQ(lineErrors, 1);
  EXPECT_TRUE(app.Shown().empty()) << "no events were reported, so no status was read";
  fake.FailAlways("ClearCommError", 0);
  port.Close();
}

TEST_F(PortIo, AWaitThatFailsAtOnceLeavesTheThreadWaitingForTheStop) {
  CountingDisplay display(nullptr);
  port.SetDisplay(&display);
  // A back end that leaves the event signalled when a wait fails at once
  // must not make the thread deliver again and again.
  fake.FailWaitsSignalled(21);
  port.Open();
  const auto waits = [&] { return fake.CallsNamed({"WaitCommEvent"}).size(); };
  ASSERT_TRUE(WaitUntil([&] { return waits() == 1; }));
  PumpUntil([] { return false; }, 200ms);
  EXPECT_EQ(display.notes, 0);
  EXPECT_EQ(waits(), 1u);
  fake.FailWaitsSignalled(0);
  port.Close();
  EXPECT_FALSE(port.EventThread()) << "the stop still ends the thread";
}

TEST_F(PortIo, AWaitThatEndsInFailureIsNotStartedAgainSoFailuresCannotStorm) {
  CountingDisplay display(nullptr);
  port.SetDisplay(&display);
  port.Open();
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  // A driver that fails every wait a moment after it has started, as some
  // do after an unplug or a resume.
  std::atomic<bool> stop{false};
  std::thread driver([&] {
    while (!stop) {
      fake.FailWait(21);
      std::this_thread::sleep_for(1ms);
    }
  });
  PumpUntil([] { return false; }, 300ms);
  stop = true;
  driver.join();
  EXPECT_EQ(display.notes, 1) << "one delivery for the failed wait, no more";
  EXPECT_EQ(fake.CallsNamed({"WaitCommEvent"}).size(), 1u);
  port.Close();
  EXPECT_FALSE(port.EventThread()) << "the stop still ends the thread";
}

TEST_F(PortIo, ADriverThatNeverEndsACancelledWaitDoesNotHoldTheClose) {
  port.Open();
  const THandle h = port.Handle;
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  // Some drivers never end a cancelled request after an unplug: the back
  // end gives up on it, and the record stays the driver's.
  fake.FailAlways("CancelIoEx", 31);
  const auto t0 = std::chrono::steady_clock::now();
  port.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.EventThread());
  EXPECT_FALSE(fake.IsOpen(h)) << "the handle is closed all the same";
  // Closing the handle ended the request at last, writing into its record
  // and signalling its event: both must still be allocated (AddressSanitizer
  // reports it otherwise).
  EXPECT_EQ(fake.CallsNamed({"CloseHandle"}).size(), 1u);
  fake.FailAlways("CancelIoEx", 0);
}

TEST_F(PortIo, ADeliveryPendingAtCloseRunsBeforeTheHandleIsReleased) {
  bool ranWhileOpen = false;
  port.OnCts = [&](TVaCustomComm* sender) { ranWhileOpen = fake.IsOpen(sender->Handle); };
  port.Open();
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  fake.RaiseEvents(kEvCts);
  ASSERT_TRUE(WaitUntil([] { return framework::WaitForQueuedCall(0); }));
  port.Close();
  EXPECT_TRUE(ranWhileOpen);
}

TEST_F(PortIo, ClosingFromHandlersThatRunInsideClosesWaitIsSafe) {
  // Both threads are blocked handing a notice to the main thread when Close
  // starts; Close runs those notices while it waits, and each handler closes.
  int txEmpty = 0, cts = 0, closes = 0;
  port.OnClose = [&](TVaCustomComm*) { ++closes; };
  port.SetOnTxEmpty([&](TVaCustomComm* sender) {
    ++txEmpty;
    sender->Close();
  });
  port.OnCts = [&](TVaCustomComm* sender) {
    ++cts;
    sender->Close();
    sender->Close();  // and again, one level deeper
  };
  port.Open();
  ASSERT_TRUE(WaitUntil([&] { return fake.WaitOutstanding(); }));
  port.WriteBytes("a", 1);
  ASSERT_TRUE(WaitUntil([] { return framework::WaitForQueuedCall(0); }));
  fake.RaiseEvents(kEvCts);
  std::this_thread::sleep_for(50ms);  // the delivery queues behind the notice
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.EventThread(), nullptr);
  EXPECT_EQ(port.WriteThread(), nullptr);
  EXPECT_EQ(txEmpty, 1);
  EXPECT_EQ(closes, 1) << "the port closes once";
  port.Open();  // and it opens again
  EXPECT_TRUE(port.IsOpen());
  port.Close();
}

TEST_F(PortIo, WriterNotificationsTouchOnlyTheirOwnHandlers) {
  CountingDisplay display(nullptr);
  port.SetDisplay(&display);
  int txEmpty = 0, rxChar = 0, errors = 0;
  port.SetOnTxEmpty([&](TVaCustomComm*) { ++txEmpty; });
  port.OnRxChar = [&](TVaCustomComm*, std::int32_t) { ++rxChar; };
  port.OnError = [&](TVaCustomComm*, std::int32_t) { ++errors; };
  port.SetMonitorEvents({});  // no event thread: only the writer dispatches
  port.Open();
  EXPECT_EQ(port.EventThread(), nullptr);
  fake.Receive({9});
  port.WriteBytes("a", 1);
  ASSERT_TRUE(PumpUntil([&] { return txEmpty == 1; }));
  fake.RaiseErrors(kCeFrame);
  fake.FailNext("WriteFile", 31);
  port.WriteBytes("b", 1);
  ASSERT_TRUE(PumpUntil([&] { return errors == 1 && txEmpty == 2; }));
  EXPECT_EQ(rxChar, 0);
  EXPECT_EQ(display.notes, 0);
  port.Close();
}

TEST_F(PortIo, TheDisplayHearsOfEachDeliveryFirstAndIsForgottenWhenRemoved) {
  auto display = std::make_unique<CountingDisplay>(nullptr);
  port.SetDisplay(display.get());
  port.Open();
  fake.RaiseEvents(kEvCts);
  ASSERT_TRUE(PumpUntil([&] { return display->notes == 1; }));
  display.reset();
  EXPECT_EQ(port.Display(), nullptr);
  port.Close();
}

TEST_F(PortIo, ClosingFromAHandlerDoesNotLockUp) {
  port.OnCts = [&](TVaCustomComm* sender) { sender->Close(); };
  port.Open();
  fake.RaiseEvents(kEvCts);
  ASSERT_TRUE(PumpUntil([&] { return !port.IsOpen(); }));
  EXPECT_EQ(port.EventThread(), nullptr);

  port.SetOnTxEmpty([&](TVaCustomComm* sender) { sender->Close(); });
  port.Open();
  port.WriteBytes("z", 1);
  ASSERT_TRUE(PumpUntil([&] { return !port.IsOpen(); }));
  port.Open();  // and it opens again
  EXPECT_TRUE(port.IsOpen());
  port.Close();
}
