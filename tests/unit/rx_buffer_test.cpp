// The native platforms' receive buffer: how long a reader may wait in one go for the rest of an
// awaited reply. One wait a reply at most keeps a time-out from growing by more than one reply's
// wire time however a controller trickles its bytes.
#include "platform/rx_buffer.h"

#include <gtest/gtest.h>

namespace {

using zel::platform::RxBuffer;

RxBuffer WithBytes(int buffered, int baud = 57600) {
  RxBuffer r;
  r.tail = buffered;
  r.baud = baud;
  return r;
}

TEST(RxBuffer, WaitsOnceAReplyForTheBytesStillOnTheWire) {
  struct Case {
    const char* what;
    RxBuffer r;
    int expect;
    int wait;
  };
  RxBuffer no_waits = WithBytes(1);
  no_waits.no_waits = true;
  const Case cases[] = {
      {"a record's first byte in", WithBytes(1), 72, 71},
      {"the whole reply in", WithBytes(72), 72, 0},
      {"more in than awaited", WithBytes(80), 72, 0},
      {"no reply awaited", WithBytes(1), 0, 0},
      {"no line rate to time it by", WithBytes(1, 0), 72, 0},
      {"waits turned off", no_waits, 72, 0},
      {"no more than the buffer holds", WithBytes(1), 5000, 511},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.what);
    c.r.Expect(c.expect);
    EXPECT_EQ(c.r.TakeWait(), c.wait);
    EXPECT_EQ(c.r.TakeWait(), 0) << "one wait a reply";
    c.r.Expect(c.expect);
    EXPECT_EQ(c.r.TakeWait(), c.wait) << "a new reply may wait again";
  }
}

TEST(RxBuffer, BytesHandedOutCountAgainstTheReplyAndDropForgetsAll) {
  RxBuffer r = WithBytes(0);
  for (int b : {0x11, 0x22, 0x33})
    r.bytes[static_cast<std::size_t>(r.tail++)] = static_cast<std::uint8_t>(b);
  r.Expect(5);
  EXPECT_EQ(r.Take(), 0x11);
  EXPECT_EQ(r.Take(), 0x22);
  EXPECT_EQ(r.expected, 3);
  EXPECT_EQ(r.TakeWait(), 2) << "one byte buffered, two still on the wire";
  r.Drop();
  EXPECT_EQ(r.Buffered(), 0);
  EXPECT_EQ(r.expected, 0);
  EXPECT_EQ(r.Space(), 512);
  EXPECT_DOUBLE_EQ(WithBytes(0).WireMs(72), 12.5) << "10 bits a byte at 57600 baud";
}

}  // namespace
