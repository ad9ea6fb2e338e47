// The library's serial link over a real pseudo-terminal, through the C interface only.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ZEL_863_DLL.h"
#include "integration/support/pty_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(PosixLink, OpensRaw8N1At57600AndSendsPowerDownOff) {
  zeltest::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.MapPort(7);
  auto t0 = Clock::now();
  ASSERT_EQ(ZEL_CommPort(1, 7, 57600), ZEL_OK);
  EXPECT_GE(MsSince(t0), 150) << "100 ms to settle and 50 ms after D0";
  ASSERT_TRUE(peer.WaitFor(2, 1000));
  EXPECT_EQ(peer.Take(), "D0");
  unsigned speed = 0, cflag = 0, lflag = 0;
  ASSERT_TRUE(peer.SlaveLine(&speed, &cflag, &lflag));
  EXPECT_EQ(speed, 57600u);
  EXPECT_EQ(cflag & CSIZE, static_cast<unsigned>(CS8));
  EXPECT_EQ(cflag & PARENB, 0u);
  EXPECT_EQ(cflag & CSTOPB, 0u);
  EXPECT_EQ(lflag & (ICANON | ECHO | ISIG), 0u) << "raw: binary records pass unchanged";

  // Binary bytes, including the ones a cooked line would eat, reach the controller as sent.
  ASSERT_EQ(ZEL_AvgReadings(256), ZEL_OK);  // 16 without high averaging: "J" 0x10
  ASSERT_EQ(ZEL_AvgReadings(3), ZEL_OK);
  ASSERT_TRUE(peer.WaitFor(4, 1000));
  EXPECT_EQ(peer.Take(), std::string("J\x10J\x03", 4));

  EXPECT_EQ(ZEL_CommPort(0, 7, 0), ZEL_OK);
  EXPECT_EQ(ZEL_CommPort(0, 7, 0), ZEL_ERR_PORT_CLOSE) << "a closed port is closed for good";
}

TEST(PosixLink, HighSpeedSwitchRunsAtExactly115000) {
  zeltest::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.MapPort(8);
  ASSERT_EQ(ZEL_CommPort(1, 8, 115200), ZEL_OK);
  ASSERT_TRUE(peer.WaitFor(3, 1000));
  EXPECT_EQ(peer.Take(), "CD0");
  unsigned speed = 0, cflag = 0, lflag = 0;
  ASSERT_TRUE(peer.SlaveLine(&speed, &cflag, &lflag));
  EXPECT_EQ(speed, 115000u) << "115000, not 115200";
  EXPECT_EQ(ZEL_CommPort(0, 8, 0), ZEL_OK);
}

TEST(PosixLink, MissingOrNonTtyDeviceCannotBeOpened) {
  struct Case {
    const char* device;
  };
  for (Case c : {Case{"/nonexistent/ttyZEL"}, Case{"/dev/null"}}) {
    SCOPED_TRACE(c.device);
    setenv("ZEL_COM9", c.device, 1);
    auto t0 = Clock::now();
    EXPECT_EQ(ZEL_CommPort(1, 9, 57600), ZEL_ERR_PORT_OPEN);
    EXPECT_GE(MsSince(t0), 100);
  }
  unsetenv("ZEL_COM9");
  EXPECT_EQ(ZEL_CommPort(0, 9, 0), ZEL_ERR_PORT_CLOSE);
}

TEST(PosixLink, ReopeningTheSameDeviceWorks) {
  zeltest::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.MapPort(5);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(ZEL_CommPort(1, 5, 57600), ZEL_OK) << i;
  }
  ASSERT_TRUE(peer.WaitFor(6, 1000));
  EXPECT_EQ(peer.Take(), "D0D0D0");
  EXPECT_EQ(ZEL_CommPort(0, 5, 0), ZEL_OK);
}

TEST(PosixLink, ACallToAGoneDeviceFailsAtOnce) {
  zeltest::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.MapPort(6);
  ASSERT_EQ(ZEL_CommPort(1, 6, 57600), ZEL_OK);
  ZEL_InitVars(0);
  peer.HangUp();
  // The writes to the dead line fail: the point reports that nothing was sent, without waiting
  // for a record, and writes no reading; the relay is not reported as switched either.
  auto t0 = Clock::now();
  double r = 7, x = 7;
  EXPECT_EQ(ZEL_ScanPoint(0, 10.0, &r, &x), ZEL_ERR_NOT_SENT);
  EXPECT_LE(MsSince(t0), 500);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(x, 7);
  EXPECT_EQ(ZEL_ProgRelay(0), ZEL_ERR_NOT_SENT);
  ZEL_CommPort(0, 6, 0);
}

// A second program on the port would read half of the controller's replies. TIOCEXCL does not
// stop root, so the port is also locked: whoever comes second is refused, whichever of the two
// it is, and the lock goes with the close.
TEST(PosixLink, APortHeldByAnotherProgramIsRefused) {
  zeltest::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.MapPort(4);
  int other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(ZEL_CommPort(1, 4, 57600), ZEL_ERR_PORT_OPEN);
  ::close(other);
  ASSERT_EQ(ZEL_CommPort(1, 4, 57600), ZEL_OK);
  // Now the library holds it. Without root the open itself is refused (TIOCEXCL); as root it
  // succeeds and the lock is refused.
  other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other >= 0) {
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
  }
  ASSERT_EQ(ZEL_CommPort(0, 4, 0), ZEL_OK);
  other = ::open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "released by the close";
  ::close(other);
}

}  // namespace
