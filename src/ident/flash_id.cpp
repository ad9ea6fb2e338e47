// The date code in the controller's flash memory, the identity of units that report no serial
// number.
//
// Four words at flash address 4096 (0x1000): year, month, day, hour, minute and second, one byte
// each, each stored as its value + 1, and a checksum word:
//
//   --> 5A 52 44 31 30 30 30                          ("ZR", 64 + 4 words, address "1000")
//   <-- 0D 04 10 0A 1F 2E 3C 3C                       (2012-03-15 09:30:45, sum 15420)
//   --> "ZWDA1000" "0D04" "100A" "1F2E" "3C3C"         (write 4 words; "A" is the write mode)
//   <-- 4B                                            ("K")
//
// Erased flash reads 0xFFFF everywhere; such a unit is given today's date and time on its first
// identification. A code with a bad checksum may be a unit's real identity damaged in transit, so
// it is replaced only when the user agrees.

#include <cstdint>
#include <cstdio>
#include <string>

#include "ZEL_863_DLL.h"
#include "ident/identify.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

constexpr int kDateCodeAddress = 4096;
constexpr int kDateCodeWords = 4;
constexpr std::int32_t kErasedWord = 65535;
// A checksum of 0 would match an all-zero read; the controller's firmware stores 0x1234 instead.
constexpr std::int32_t kZeroChecksum = 4660;
constexpr int kMaxFlashWords = 16;
// The flash replies come from the controller's own loop within a few milliseconds; 2500 empty
// reads (about 2.5 s) allow for a write cycle of the flash.
constexpr int kFlashEmptyReadLimit = 2500;
constexpr char kWriteMode = 'A';

int ClampCount(int count) {
  return count < 1 ? 1 : (count > kMaxFlashWords ? kMaxFlashWords : count);
}

// The count travels as one character, "A" for one word up to "P" for sixteen.
char CountChar(int count) {
  return static_cast<char>(64 + count);
}

std::int32_t DateChecksum(std::int32_t w0, std::int32_t w1, std::int32_t w2) {
  const std::uint32_t wide = static_cast<std::uint32_t>(w0) + static_cast<std::uint32_t>(w1) +
                             static_cast<std::uint32_t>(w2);
  const std::int32_t sum = static_cast<std::int32_t>(wide & 0xFFFFu);
  return sum == 0 ? kZeroChecksum : sum;
}

// The twelve digits yyMMddhhmmss of a stored date code.
std::string DateCodeText(const std::int32_t* words) {
  std::string out;
  char buf[16];
  for (int k = 0; k < 3; ++k) {
    for (int half = 0; half < 2; ++half) {
      const int byte = half == 0 ? (words[k] >> 8) & 0xFF : words[k] & 0xFF;
      std::snprintf(buf, sizeof buf, "%02d", byte - 1);
      out += buf;
    }
  }
  return out;
}

void ProgramDateCode() {
  const platform::DateTime now = platform::Current().Now();
  std::int32_t w[kDateCodeWords];
  w[0] = (now.Year % 100 + 1) * 256 + (now.Month + 1);
  w[1] = (now.Day + 1) * 256 + (now.Hour + 1);
  w[2] = (now.Minute + 1) * 256 + (now.Second + 1);
  w[3] = DateChecksum(w[0], w[1], w[2]);
  WriteFlashWords(kDateCodeWords, kDateCodeAddress, w);
}

}  // namespace

void ReadFlashWords(int count, int address) {
  auto& l = state.link;
  count = ClampCount(count);
  std::string cmd = "ZR";
  cmd += CountChar(count);
  cmd += HexField(static_cast<std::uint32_t>(address), 4);
  const bool sent = WriteRequest(cmd);
  int index = 0;
  int empty = 0;
  while (sent && index < 2 * count && empty < kFlashEmptyReadLimit) {
    const int b = ReadReplyByte();
    if (b >= 0) {
      l.RxBytes[index++] = b;
    } else {
      ++empty;
    }
  }
  if (index < 2 * count) {
    state.frame.StatusCode = ZEL_ERR_FLASH_READ;
    return;
  }
  for (int k = 0; k < count; ++k) l.RxWords[k] = l.RxBytes[2 * k] * 256 + l.RxBytes[2 * k + 1];
  state.frame.StatusCode = 0;
}

void WriteFlashWords(int count, int address, const std::int32_t* words) {
  state.frame.StatusCode = 0;
  count = ClampCount(count);
  std::string cmd = "ZW";
  cmd += CountChar(count);
  cmd += kWriteMode;
  cmd += HexField(static_cast<std::uint32_t>(address), 4);
  for (int k = 0; k < count; ++k) cmd += HexField(static_cast<std::uint32_t>(words[k]), 4);
  const bool sent = WriteRequest(cmd);
  int b = -1;
  for (int empty = 0; sent && empty < kFlashEmptyReadLimit; ++empty) {
    b = ReadReplyByte();
    if (b >= 0) break;
  }
  if (b != 'K') state.frame.StatusCode = ZEL_ERR_FLASH_WRITE;
}

void ReadFlashId() {
  auto& f = state.frame;
  auto& l = state.link;
  auto& id = state.ident;
  f.StatusCode = 0;
  ReadFlashWords(kDateCodeWords, kDateCodeAddress);
  // After a short read the word buffer holds whatever an earlier exchange left there; neither the
  // identity nor a decision to program the flash is taken from it.
  if (f.StatusCode == 0) {
    const std::int32_t* w = l.RxWords;
    if (DateChecksum(w[0], w[1], w[2]) == w[3]) {
      l.PortStatus = 1;
      SetText(id.UnitIdText, DateCodeText(w));
    } else {
      l.PortStatus = 0;
      const bool erased = w[0] == kErasedWord && w[1] == kErasedWord && w[2] == kErasedWord;
      if (erased || platform::ShowNotice(" Serial Num is programmed",
                                         "This unit may already have an ID number. Do you want "
                                         "to reprogram it?",
                                         platform::kNoticeYesNo)) {
        ProgramDateCode();
        if (f.StatusCode == 0) id.FlashProgrammed = 1;
      }
    }
  }
  if (f.StatusCode != 0) {
    const std::string text = "Comm Error Reading Date Code = " + NumberText(f.StatusCode, 0);
    platform::ShowNotice(" Error 7213", text.c_str(), platform::kNoticeWarning);
  }
  SetText(id.UnitIdAltText, id.UnitIdText);
}

}  // namespace zel
