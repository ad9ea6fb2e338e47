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

// Writes one command in one write to CommHandle (nothing while LibraryMode is 0 is not a rule:
// commands always go out). Reads CommHandle.
void WriteCommand(const std::uint8_t* bytes, int count);
void WriteCommand(std::string_view bytes);
// One byte from the port, or -1 after about 1 ms with nothing. Reads CommHandle.
int ReadReplyByte();

// The detector record reader. Reads ShortRecord, ReadingScale, LibraryMode; writes RxBytes,
// RxWords, PortStatus, DataValid; StatusCode 34525 on time-out.
void ReadRecord(int send);

// Two-byte sensor read: writes the command, reads two bytes into RxBytes[0..1] within `limit`
// empty reads. Writes PortStatus, DataValid, TextBuf on time-out. Returns the raw value, or -1
// on time-out (the caller sets its own time-out code).
int ReadSensorReply(std::string_view command, int limit);

}  // namespace zel
