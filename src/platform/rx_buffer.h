// The native platforms' receive buffer: what came off the serial line in one read and has not
// been handed out yet, and the reply the link awaits (Platform::ExpectReply).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace zel::platform {

// A byte on the line: start bit, 8 data bits, stop bit.
constexpr int kBitsPerByte = 10;

struct RxBuffer {
  std::array<std::uint8_t, 512> bytes{};
  int head = 0;
  int tail = 0;
  int expected = 0;       // bytes of the awaited reply not handed out yet; 0 = none awaited
  bool waited = false;    // the one wire-time wait of this reply is spent
  int baud = 0;           // the line rate last set, for the wire time
  bool no_waits = false;  // the platform found its waits too coarse for the wire time

  int Buffered() const { return tail - head; }
  int Space() const { return static_cast<int>(bytes.size()) - tail; }

  // The next byte (there must be one); it counts against the awaited reply.
  int Take() {
    if (expected > 0) --expected;
    return bytes[static_cast<std::size_t>(head++)];
  }

  void Expect(int count) {
    expected = std::max(count, 0);
    waited = false;
  }

  // Forgets what is buffered and any reply awaited.
  void Drop() {
    head = tail = 0;
    Expect(0);
  }

  // Bytes of the awaited reply that are still on the wire and can be waited for in one go, or 0:
  // none awaited, the wait of this reply spent, or no line rate to time them by. Marks the wait
  // spent.
  int TakeWait() {
    const int missing = std::min(expected - Buffered(), Space());
    if (missing <= 0 || waited || baud <= 0 || no_waits) return 0;
    waited = true;
    return missing;
  }

  // Wire time of n bytes, in milliseconds.
  double WireMs(int n) const { return 1000.0 * kBitsPerByte * n / baud; }
};

}  // namespace zel::platform
