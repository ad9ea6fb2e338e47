// The exchange with the controller: every command written in one write, every reply read one byte
// at a time through ReadReplyByte.
#pragma once

#include <cstdint>
#include <string_view>

namespace zel {

inline constexpr int kRecordBytesLong = 72;
inline constexpr int kRecordBytesShort = 67;
inline constexpr int kRecordWords = 33;
inline constexpr int kRecordEmptyReadLimit = 2000;
inline constexpr int kRecordAttempts = 5;

// Writes one command in one write to CommHandle. Returns whether it went out; when it did not
// (no port open, a pulled adapter) sets SendFailed, which the frames report as
// ZEL_ERR_NOT_SENT.
bool WriteCommand(const std::uint8_t* bytes, int count);
bool WriteCommand(std::string_view bytes);
// The same for a command that the controller answers: first drops whatever is waiting on the
// line, so that the reply read next belongs to this command and not to an earlier one that came
// too late. Costs no time when nothing is waiting.
bool WriteRequest(const std::uint8_t* bytes, int count);
bool WriteRequest(std::string_view bytes);
// One byte from the port, or -1 after about 1 ms with nothing. Reads CommHandle.
int ReadReplyByte();

// The detector record reader. Reads ShortRecord, ReadingScale, LibraryMode; writes RxBytes,
// RxWords, PortStatus, DataValid; StatusCode ZEL_ERR_NO_RECORD on time-out, ZEL_ERR_RECORD_CHECKSUM
// after five failed checksums. Returns at once when its "R" cannot be sent. The frequency commands
// call it only when their command went out.
void ReadRecord(int send);

// Two-byte sensor read: writes the command, reads two bytes into RxBytes[0..1] within `limit`
// empty reads. Writes PortStatus, DataValid, TextBuf on time-out. Returns the raw value, or -1
// on time-out (the caller sets its own time-out code); -1 at once when the command did not go
// out.
int ReadSensorReply(std::string_view command, int limit);

}  // namespace zel
