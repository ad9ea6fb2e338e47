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
  // The command written last, until a reply is awaited: its length and when its write returned
  // (in the platform's clock), so the reply's first read can wait for command and reply at once.
  int sent = 0;
  std::int64_t sent_at = 0;
  std::int64_t first_read_at = 0;  // the awaited reply's first read, 0 = none planned

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
    first_read_at = 0;
  }

  void Sent(int count, std::int64_t at) {
    sent = count;
    sent_at = at;
  }

  // Plans the awaited reply's first read (Expect comes first) for when the last command's bytes
  // and the whole reply have had their wire time, plus `margin`; `per_second` is the clock's
  // ticks a second. Only right after a command: the reply cannot come before it was asked for.
  void PlanFirstRead(std::int64_t per_second, std::int64_t margin) {
    const int total = sent + expected;
    if (sent > 0 && expected > 0 && baud > 0 && !no_waits)
      first_read_at = sent_at + per_second * kBitsPerByte * total / baud + margin;
    sent = 0;
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
