// The termios back end on pseudo-terminals: the control block on the line.
#include "tests/serial/device/posix/SerialApiFixture.h"

namespace serial::posixtest {
namespace {

// ---- Settings -----------------------------------------------------------

TEST_F(PosixSerialApiTest, SetCommStateAppliesThePortSettings) {
  const TDCB dcb = PortDcb();
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());

  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  const TDCB back = CurrentDcb();
  EXPECT_EQ(back.DCBlength, 28u);
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
}

// A pseudo-terminal always keeps 8 data bits without a parity bit (the
// kernel overrides CSIZE and PARENB), so those two cannot be read back here.
TEST_F(PosixSerialApiTest, SetCommStateAppliesParityStopBitsAndFlowControl) {
  TDCB dcb = PortDcb();
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 3;  // mark
  dcb.StopBits = 2;
  dcb.Flags = kDcbBinary | kDcbParity | kDcbOutX | kDcbInX | kDcbTxContinueOnXoff;
  dcb.XonChar = 0x01;
  dcb.XoffChar = 0x02;
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(CMSPAR | PARODD));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), static_cast<tcflag_t>(INPCK | IXON | IXOFF));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  EXPECT_EQ(CurrentDcb().ByteSize, 7);

  dcb.Parity = 4;  // space
  dcb.StopBits = 0;
  dcb.Flags = kDcbBinary | kDcbOutxCtsFlow;
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB), static_cast<tcflag_t>(CMSPAR));
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

  dcb.Parity = 1;                       // odd
  dcb.Flags = kDcbBinary | (2u << 12);  // RTS handshake
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(PARODD));
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

  dcb.Parity = 2;  // even
  dcb.Flags = kDcbBinary;
  ASSERT_TRUE(api_.SetCommState(h_, dcb));
  t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CRTSCTS), 0u);
}

TEST_F(PosixSerialApiTest, SetCommStateRefusesImpossibleRecords) {
  const TDCB good = PortDcb();
  ASSERT_TRUE(api_.SetCommState(h_, good));
  auto refused = [&](TDCB dcb) {
    EXPECT_FALSE(api_.SetCommState(h_, dcb));
    EXPECT_EQ(LastError(), Errno(EINVAL));
  };
  TDCB bad = good;
  bad.ByteSize = 4;
  refused(bad);
  bad = good;
  bad.ByteSize = 9;
  refused(bad);
  bad = good;
  bad.BaudRate = 0;
  refused(bad);
  bad = good;
  bad.Parity = 5;
  refused(bad);
  bad = good;
  bad.StopBits = 3;
  refused(bad);

  const TDCB back = CurrentDcb();
  EXPECT_EQ(std::memcmp(&back, &good, sizeof good), 0);
  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

// What a terminal cannot do is refused before the line is touched, so the
// line and the record the port reports stay as they were.
TEST_F(PosixSerialApiTest, SetCommStateRefusesWhatTheLineCannotCarry) {
  TDCB good = PortDcb();
  good.BaudRate = 19200;
  good.Flags = kDcbBinary | kDcbOutX;
  ASSERT_TRUE(api_.SetCommState(h_, good));
  const termios before = LineSettings(pty_.SlavePath());
  auto refused = [&](TDCB dcb, int error, const char* what) {
    EXPECT_FALSE(api_.SetCommState(h_, dcb)) << what;
    EXPECT_EQ(LastError(), Errno(error)) << what;
    EXPECT_EQ(api_.ErrorText(LastError()), std::strerror(error)) << what;
  };
  TDCB bad = good;
  bad.Flags |= 3u << 12;  // RTS toggle
  refused(bad, EOPNOTSUPP, "RTS toggle");
  bad = good;
  bad.Flags |= 2u << 4;  // DTR handshake
  refused(bad, EOPNOTSUPP, "DTR handshake");
  bad = good;
  bad.Flags |= kDcbOutxDsrFlow;
  refused(bad, EOPNOTSUPP, "DSR flow");
  bad = good;
  bad.Flags |= kDcbDsrSensitivity;
  refused(bad, EOPNOTSUPP, "DSR sensitivity");
  bad = good;
  bad.Flags |= kDcbNull;
  refused(bad, EOPNOTSUPP, "null stripping");
  bad = good;
  bad.Flags |= kDcbAbortOnError;
  refused(bad, EOPNOTSUPP, "abort on error");
  bad = good;
  bad.Flags |= kDcbParity | kDcbErrorChar;
  bad.ErrorChar = '?';
  refused(bad, EOPNOTSUPP, "an error character other than 0");
  bad = good;
  bad.Flags |= kDcbErrorChar;
  bad.ErrorChar = 0;
  refused(bad, EOPNOTSUPP, "an error character without parity checking");
  bad = good;
  bad.Flags |= kDcbInX;  // without TxContinueOnXoff
  refused(bad, EOPNOTSUPP, "holding the output while XOFF is sent");
  bad = good;
  bad.StopBits = 1;  // one and a half, with 8 data bits
  refused(bad, EINVAL, "1.5 stop bits with 8 data bits");
  bad = good;
  bad.ByteSize = 5;
  bad.StopBits = 2;
  refused(bad, EINVAL, "2 stop bits with 5 data bits");

  const termios after = LineSettings(pty_.SlavePath());
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B19200));
  const TDCB back = CurrentDcb();
  EXPECT_EQ(std::memcmp(&back, &good, sizeof good), 0);
}

TEST_F(PosixSerialApiTest, SetCommStateTakesWhatTheLineCanCarry) {
  TDCB dcb = PortDcb();
  dcb.ByteSize = 5;
  dcb.StopBits = 1;  // one and a half: CSTOPB on 5-bit characters
  dcb.Flags = kDcbBinary | kDcbParity | kDcbErrorChar | kDcbInX | kDcbTxContinueOnXoff;
  dcb.ErrorChar = 0;  // a character with a parity error is read as 0
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & (INPCK | IXOFF), static_cast<tcflag_t>(INPCK | IXOFF));
  EXPECT_EQ(CurrentDcb().StopBits, 1);
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
TEST_F(PosixSerialApiTest, SetsARateOutsideTheStandardTable) {
  TDCB dcb = PortDcb();
  dcb.BaudRate = 250000;
  ASSERT_TRUE(api_.SetCommState(h_, dcb)) << api_.ErrorText(LastError());
  const termios t = LineSettings(pty_.SlavePath());
  EXPECT_EQ(t.c_cflag & CBAUD, 0010000u);  // the kernel's "other rate" code

  // The record read back comes from the line itself.
  EXPECT_EQ(CurrentDcb().BaudRate, 250000u);

  // Closing puts back the rate the line had before the port opened it.
  Close();
  EXPECT_NE(LineSettings(pty_.SlavePath()).c_cflag & CBAUD, 0010000u);
}
#endif

}  // namespace
}  // namespace serial::posixtest
