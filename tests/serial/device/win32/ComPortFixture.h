// The device end of the kernel32 back end's tests: one overlapped record, and
// a COM port (COMFLASH_TEST_COM) opened overlapped at 115200 8N1, raw,
// reads returning at once, both directions purged.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "serial/device/win32/Win32SerialApi.h"
#include "tests/support/win32/WineCheck.h"

namespace testsupport {

// One overlapped record with its own event.
struct Request {
  Request() {
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = serial::platform_event::Create();
  }
  ~Request() { serial::platform_event::Destroy(ov.hEvent); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  bool Signalled(std::uint32_t ms) { return serial::platform_event::Wait(ov.hEvent, ms) == 0; }
  serial::TOverlapped ov;
};

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace serial;
    REQUIRE_DEVICE_PORT();
    h = api.CreateFileA("\\\\.\\" + DevicePort(), kGenericReadWrite, 0, kOpenExisting,
                        kFileFlagOverlapped);
    ASSERT_NE(h, kInvalidHandle) << "error " << api.GetLastError();
    TDCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(api.GetCommState(h, dcb));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.Flags = kDcbBinary;
    ASSERT_TRUE(api.SetCommState(h, dcb));
    ASSERT_TRUE(api.SetCommTimeouts(h, TCommTimeouts{0xFFFFFFFFu, 0, 0, 0, 0}));
    ASSERT_TRUE(api.PurgeComm(h, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
  }
  void TearDown() override {
    if (h != serial::kInvalidHandle) {
      EXPECT_TRUE(api.CloseHandle(h));
    }
  }

  void Write(const std::vector<std::uint8_t>& bytes) {
    Request w;
    std::uint32_t n = 0;
    if (!api.WriteFile(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n, &w.ov)) {
      ASSERT_EQ(api.GetLastError(), serial::kErrorIoPending);
      ASSERT_TRUE(api.GetOverlappedResult(h, &w.ov, &n, true));
    }
    EXPECT_EQ(n, bytes.size());
  }

  serial::Win32SerialApi api;
  serial::THandle h = serial::kInvalidHandle;
};

}  // namespace testsupport
