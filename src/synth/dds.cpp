// Frequency commands for the synthesizers.
//
// Every frequency command makes the controller program its DDS, measure, and answer with one
// detector record, which is read here straight away.
//
// Single-synthesizer models (one DDS on DdsClockMHz): "F" (or "U" on controllers with the 2 or
// 3 kHz frequency offset option) and the 32-bit tuning word word = f / clock * 2^32 as 8 hex
// digits, e.g. 10 MHz on a 400 MHz clock:
//   --> 46 30 36 36 36 36 36 37 43          "F0666667C"
//   <-- 72 (or 67) bytes of detector record
//
// UHF model (two DDS on XtalOsc times their own multiplier; the offset DDS runs DeltaFreq above
// the signal DDS): "E", a multiplier byte (signal - 5 in the high nibble, offset - 5 in the low
// one), a control byte (64 * gain band + settling code + 1), the signal word and the offset word,
// 8 hex digits each. Frequencies above half a DDS clock are reached through its images, so each
// word is folded into the first Nyquist zone. 700 MHz with multipliers 10 and 9 on 50 MHz:
//   --> 45 54 55 36 36 36 36 36 36 36 36 37 31 43 36 44 31 45 31
//       "E" 0x54 0x55 "66666666" "71C6D1E1"
//   <-- detector record
//
// Output level (UHF): "M" and a 4-digit level word, 50..1023 of full scale, bit 14 set for the
// offset DDS, e.g. "M03FF" full level on the signal DDS. No reply.

#include "synth/dds.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "ZEL_863_DLL.h"
#include "instrument/averaging.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/status.h"
#include "state/text.h"

namespace zel {

namespace {

// Below 50 kHz a single reading is too noisy, so the averaging is raised for the one point:
// below 20 kHz to the deepest count the firmware accepts, up to 50 kHz to at least 16.
constexpr double kLowAvgLimitMHz = 0.05;
constexpr double kVeryLowAvgLimitMHz = 0.02;
constexpr int kLowAvgCount = 16;
constexpr int kVeryLowAvgCountHigh = 64;

// A scanned point is nudged up by 0.2 ppm (on the single-synthesizer path twice) so that it
// never falls exactly on a frequency where the DDS output is a spur-free but degenerate ratio.
constexpr double kScanNudge = 1.0000002;
// Exactly 100 MHz on a 400 MHz clock is a quarter of the clock; the scan moves it off by 100 Hz.
constexpr double kQuarterClockMHz = 100;
constexpr double kQuarterClockWindowMHz = 0.00011;
constexpr double kQuarterClockSubstituteMHz = 100.0001;

constexpr int kTuningWordDigits = 8;
constexpr int kLevelWordDigits = 4;
constexpr int kUhfCommandBytes = 19;
// The multiplier byte carries each multiplier as its excess over 5 in one nibble.
constexpr int kMultBase = 5;
constexpr double kLevelFullScale = 1023;
constexpr int kLevelMin = 50;
constexpr int kLevelMax = 1023;
constexpr int kLevelSynth2Flag = 0x4000;
// The controller needs this long to load the level into the DDS before the next command.
constexpr int kLevelSettleMs = 10;

void PutHex(std::uint8_t* dst, std::uint32_t value) {
  const std::string hex = HexField(value, kTuningWordDigits);
  for (int i = 0; i < kTuningWordDigits; ++i) dst[i] = static_cast<std::uint8_t>(hex[i]);
}

// The single-synthesizer word, computed in double so that every frequency from 0 up to the clock
// gets its exact 32-bit word (words of 2^31 and more are images the DDS makes as well). Nothing
// below 0 or from 2^32 on fits the 8 digits: a negative or not-a-number value gives word 0 (no
// output), a value past the top gives FFFFFFFF.
std::uint32_t SingleWord(double w) {
  if (!(w > 0)) return 0;
  const double r = std::nearbyint(w);
  if (r >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(r);
}

// One UHF word from a normalised frequency: the int32 rounding pins anything out of range to a
// limit, and a negative word (only a negative frequency gives one) is sent as its complement, so
// both out-of-range ends come out as 7FFFFFFF.
std::uint32_t UhfWord(double scaled) {
  std::int32_t w = RoundToInt(scaled);
  if (w < 0) w = ~w;
  return static_cast<std::uint32_t>(w);
}

// Folds a normalised frequency x = f / clock into the first Nyquist zone: the DDS image in zone n
// lies at n/2 clocks, mirrored in the odd zones. Beyond the eighth zone the images are too weak.
// Returns false there (x left as it is).
bool FoldIntoFirstZone(double& x) {
  if (!(x >= 0.5)) return true;
  const double n = std::floor(2 * x);
  if (n > 8) return false;
  const int zone = static_cast<int>(n);
  const double half = static_cast<double>((zone + 1) / 2);
  x = (zone % 2 == 1) ? half - x : x - half;
  return true;
}

void ProgramSingleDds() {
  auto& s = state.synth;
  const double requested = s.TestFreqMHz;
  s.TestFreqMHz = s.TestFreqMHz * kScanNudge;
  double v = s.TestFreqMHz * s.FreqCompFactor;
  if (state.measure.ScanRunning != 0 && std::fabs(v - kQuarterClockMHz) < kQuarterClockWindowMHz)
    v = kQuarterClockSubstituteMHz;
  // Before identification there is no clock: send word 0 rather than a meaningless one.
  std::uint32_t word = 0;
  if (s.DdsClockMHz > 0) word = SingleWord(v / s.DdsClockMHz * s.TuningScale + 0.5);
  std::uint8_t cmd[1 + kTuningWordDigits];
  cmd[0] = state.ident.DfOption != 0 ? 'U' : 'F';
  PutHex(cmd + 1, word);
  // The record answers the command; a command that did not go out has no record to wait for.
  if (WriteRequest(cmd, sizeof cmd)) ReadRecord(0);
  s.TestFreqMHz = requested;
}

// The normalised frequency of one UHF synthesizer, folded, and its word. A synthesizer without a
// clock (multiplier 0: no multiplier table for this frequency) reaches nothing: word 0 and the
// image zone status, never a division by zero.
std::uint32_t UhfSynthWord(double freq, int mult, bool magnitude) {
  auto& s = state.synth;
  const double clock = s.XtalOsc * mult;
  if (!(clock > 0)) {
    state.frame.StatusCode = ZEL_ERR_IMAGE_ZONE;
    return 0;
  }
  double x = freq / clock;
  if (!FoldIntoFirstZone(x)) state.frame.StatusCode = ZEL_ERR_IMAGE_ZONE;
  double scaled = x * s.TuningScale;
  if (magnitude) scaled = std::fabs(scaled);
  return UhfWord(scaled);
}

void ProgramUhfDds() {
  auto& s = state.synth;
  const double a = s.TestFreqMHz * s.FreqCompFactor;
  const double b = (s.TestFreqMHz + s.DeltaFreq) * s.FreqCompFactor;
  std::uint8_t cmd[kUhfCommandBytes];
  cmd[0] = 'E';
  cmd[1] = static_cast<std::uint8_t>(
      ((s.OffsetMult - kMultBase) + 16 * (s.SignalMult - kMultBase)) & 0xFF);
  cmd[2] = static_cast<std::uint8_t>((64 * s.Gain + s.Settling + 1) & 0xFF);
  PutHex(cmd + 3, UhfSynthWord(a, s.SignalMult, false));
  PutHex(cmd + 3 + kTuningWordDigits, UhfSynthWord(b, s.OffsetMult, true));
  // The record answers the command; a command that did not go out has no record to wait for.
  if (WriteRequest(cmd, sizeof cmd)) ReadRecord(0);
}

}  // namespace

void ProgramDds() {
  auto& s = state.synth;
  auto& m = state.measure;
  int saved_avg = 0;
  const double requested = s.TestFreqMHz;
  // Setting the averaging clears the status; a failure met earlier in the point (an invalid
  // multiplier code) or by this command (no record) must still reach the caller.
  if (s.TestFreqMHz < kLowAvgLimitMHz) {
    if (s.TestFreqMHz < kVeryLowAvgLimitMHz) {
      saved_avg = m.AvgCount;
      const int raised = state.ident.HighAvgAllowed > 0 ? kVeryLowAvgCountHigh : kLowAvgCount;
      KeepStatusAcross([raised] { SetAveraging(raised); });
    } else if (m.AvgCount < kLowAvgCount) {
      saved_avg = m.AvgCount;
      KeepStatusAcross([] { SetAveraging(kLowAvgCount); });
    }
  }
  if (m.ScanRunning != 0) s.TestFreqMHz = s.TestFreqMHz * kScanNudge;

  if (state.ident.UhfModel == 0) {
    ProgramSingleDds();
  } else {
    ProgramUhfDds();
  }

  if (saved_avg > 0) KeepStatusAcross([saved_avg] { SetAveraging(saved_avg); });
  s.TestFreqMHz = requested;
}

void SetDdsLevel(double level) {
  auto& s = state.synth;
  if (state.ident.UhfModel == 0) return;
  int flag = 0;
  if (level < 0) {
    flag = kLevelSynth2Flag;
    level = std::fabs(level);
    s.Dds2Level = level;
  } else {
    s.Dds1Level = level;
  }
  int word = RoundToInt(kLevelFullScale * level / 100 + 0.5);
  if (word > kLevelMax) word = kLevelMax;
  if (word < kLevelMin) word = kLevelMin;
  word += flag;
  WriteCommand("M" + HexField(static_cast<std::uint32_t>(word), kLevelWordDigits));
  platform::Current().PauseMs(kLevelSettleMs);
}

}  // namespace zel
