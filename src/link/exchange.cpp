// The byte exchange with the controller.
//
// The controller speaks without framing: a command is a fixed number of bytes written at once,
// and the commands that have a reply get a fixed number of bytes back. Every frequency command is
// answered by a detector record:
//
//   long format, 72 bytes:  h0 h0 h1 h1 | w0hi w0lo ... w32hi w32lo | sumhi sumlo
//     the checksum is the sum of the 35 big-endian words in bytes 0..69, modulo 65536
//   short format, 67 bytes: w0hi w0lo ... w32hi w32lo | sum
//     the checksum is (sum of the 33 words >> 4) & 0xFF
//
// e.g. --> 46 30 36 36 36 36 36 37 43   ("F0666667C", 10 MHz on a 400 MHz clock)
//      <-- 72 bytes of record
// A record with a bad checksum is asked for again with "R" (the controller resends it unchanged),
// five attempts in all; after the fifth the point is reported as failed (ZEL_ERR_RECORD_CHECKSUM),
// not computed from an older record as if it were new.
//
// The line carries no sequence number: a reply that comes after its reader gave up (a controller
// that stalled, a USB adapter that flushed late) would be taken for the reply to the next
// command, and so on for every command after it. So whatever waits on the line is dropped before
// each command that has a reply. A late reply that lands while the next one is already awaited
// still cannot be told apart; the drop keeps the damage to that one reply.
//
// Replies are read one byte per read; a read with nothing to give returns after about 1 ms, so
// the waits are counts of empty reads: 2000 for a record (the controller's slowest averaging of
// 256 readings at the lowest frequencies takes a good second), 5000 for the RF voltage and 1000
// for the temperature.

#include "link/exchange.h"

#include "ZEL_863_DLL.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

bool WriteCommand(const std::uint8_t* bytes, int count) {
  if (platform::Current().Write(state.link.CommHandle, bytes, count)) return true;
  state.link.SendFailed = 1;
  return false;
}

bool WriteCommand(std::string_view bytes) {
  return WriteCommand(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<int>(bytes.size()));
}

bool WriteRequest(const std::uint8_t* bytes, int count) {
  platform::Current().Purge(state.link.CommHandle, platform::kPurgeInput);
  return WriteCommand(bytes, count);
}

bool WriteRequest(std::string_view bytes) {
  return WriteRequest(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<int>(bytes.size()));
}

int ReadReplyByte() {
  return platform::Current().ReadByte(state.link.CommHandle);
}

namespace {

// Reads one byte at a time into RxBytes[0..count-1]. The empty-read count runs over the whole
// reply, never reset by a byte: a controller that trickles bytes with gaps still ends the wait
// after `limit` empty reads in all. Returns false when the limit was passed first.
// The platform is told the reply's length, so that it can take the reply off the line in one
// go rather than a wakeup per byte; the reads and their counting stay as they are.
bool CollectReply(int count, int limit) {
  auto& l = state.link;
  platform::Current().ExpectReply(l.CommHandle, count);
  int index = 0;
  int empty = 0;
  while (index < count && empty <= limit) {
    const int b = ReadReplyByte();
    if (b >= 0) {
      l.RxBytes[index++] = b;
    } else {
      l.PortStatus = 0;
      ++empty;
    }
  }
  platform::Current().ExpectReply(l.CommHandle, 0);
  return empty <= limit;
}

// Bytes still waiting when a record has failed its checksum belong to it, or to noise that came
// before it; they are read and dropped before "R", so that the record sent again is read from its
// first byte. Without this one stray byte shifts every later record on the line: each point then
// fails its five checksums and is computed from the last valid record, for good. The line is quiet
// at the first empty read (at 57600 baud the bytes of a reply follow each other within 0.2 ms);
// a line that never falls quiet is left after a few records' worth.
constexpr int kDiscardLimitBytes = 4 * kRecordBytesLong;

void DiscardPending() {
  for (int i = 0; i < kDiscardLimitBytes && ReadReplyByte() >= 0; ++i) {
  }
}

}  // namespace

void ReadRecord(int send) {
  auto& l = state.link;
  if (state.frame.LibraryMode == 0) return;
  const int last = l.ShortRecord ? kRecordBytesShort - 1 : kRecordBytesLong - 1;
  int retries = 0;
  do {
    l.DataValid = 1;
    l.PortStatus = -1;
    if (send > 0) {
      for (int i = 0; i <= last; ++i) l.RxBytes[i] = l.RxWords[i] = -1;
      DiscardPending();
      // The port has gone: nothing will come, and the call reports ZEL_ERR_NOT_SENT without waiting
      // two seconds for it.
      if (!WriteCommand("R")) {
        l.DataValid = 0;
        return;
      }
    }
    if (!CollectReply(last + 1, kRecordEmptyReadLimit)) {
      // No data from the instrument; asking again will not help.
      state.frame.StatusCode = ZEL_ERR_NO_RECORD;
      return;
    }
    std::uint32_t sum = 0;
    std::uint32_t received = 0;
    if (l.ShortRecord) {
      for (int i = 0; i < 66; i += 2)
        sum += static_cast<std::uint32_t>(l.RxBytes[i] * 256 + l.RxBytes[i + 1]);
      received = static_cast<std::uint32_t>(l.RxBytes[66]);
    } else {
      for (int i = 0; i < 70; i += 2)
        sum += static_cast<std::uint32_t>(l.RxBytes[i] * 256 + l.RxBytes[i + 1]);
      received = static_cast<std::uint32_t>(l.RxBytes[70] * 256 + l.RxBytes[71]);
    }
    if (sum == 0) l.DataValid = 0;  // an all-zero record passes the sum but carries nothing
    if (l.ShortRecord) sum = (sum >> 4) & 0xFF;
    if ((sum & 0xFFFF) == (received & 0xFFFF)) {
      l.PortStatus = 1;
    } else {
      l.DataValid = 0;
      ++retries;
      send = 1;
    }
    if (l.PortStatus != 0) {
      const int s = l.ShortRecord ? 0 : 4;
      for (int k = 0; k < kRecordWords; ++k) {
        l.RxWords[k] =
            state.measure.ReadingScale * (l.RxBytes[s + 2 * k] * 256 + l.RxBytes[s + 2 * k + 1]);
      }
    }
  } while (retries < kRecordAttempts && l.PortStatus <= 0);
  // Five records in a row failed their checksum: the line is too noisy to trust, and the point
  // must not be reported as measured.
  if (retries >= kRecordAttempts) state.frame.StatusCode = ZEL_ERR_RECORD_CHECKSUM;
}

int ReadSensorReply(std::string_view command, int limit) {
  auto& l = state.link;
  l.PortStatus = -1;
  l.DataValid = 0;
  if (!WriteRequest(command) || !CollectReply(2, limit)) {
    SetText(state.frame.TextBuf, " Check analyzer power and comm cable");
    return -1;
  }
  return l.RxBytes[0] * 256 + l.RxBytes[1];
}

}  // namespace zel
