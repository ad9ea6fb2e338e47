// Per-point synthesizer settings: the UHF clock multipliers from the multiplier table, the
// settling code, and the gain band.
//
// The UHF model's two DDS clocks are XtalOsc times a multiplier each. Which pair is used
// depends on the frequency, so the pairs are kept as a short list of segments, each from a start
// frequency on, and expanded into one code per whole MHz. A code packs both: 32 * SignalMult +
// OffsetMult.

#include "synth/mult_table.h"

#include <cmath>
#include <cstdint>

#include "ZEL_863_DLL.h"
#include "state/state.h"

namespace zel {

namespace {

// The controller lets the DDS clocks settle for longer after the multipliers change.
constexpr int kSettlingShort = 2;
constexpr int kSettlingLong = 20;
constexpr int kMaxMultCode = 660;  // 32 * 20 + 20
constexpr int kMultCodeShift = 32;

// The segment list ends at the first code below 1; the expansion also stops once a segment starts
// this far above the top of the range.
constexpr double kExpandMarginMHz = 100;

// Below this reference clock the default list does not fit; the calibration file brings one.
constexpr double kDefaultTableMinXtalMHz = 49;
// Half-width of the zone stepped around the grid frequencies on the UHF model.
constexpr double kUhfFreqOffsetMHz = 0.02;

struct Segment {
  std::int32_t start_mhz;
  std::int32_t code;
};

// The default segments for a 50 MHz reference (multipliers signal/offset in the comments).
// Entry 1 starts where entry 2 does and so covers nothing.
constexpr Segment kDefaultSegments[] = {
    {0, 461},     // 14/13
    {605, 329},   // 10/9
    {605, 329},   // 10/9
    {610, 329},   // 10/9
    {840, 394},   // 12/10
    {890, 461},   // 14/13
    {945, 394},   // 12/10
    {955, 461},   // 14/13
    {1080, 461},  // 14/13
    {1200, 494},  // 15/14
    {1350, 395},  // 12/11
    {1500, 0},    // end of list
};

// The code for a frequency; a frequency outside the table (or not a number) has no entry and gets
// code 0, as an entry that no segment covers.
std::int32_t CodeForFreq(double freq_mhz) {
  const double index = std::floor(freq_mhz);
  if (!(index >= 0 && index < kMultTableSize)) return 0;
  return state.synth.MultsByMHz[static_cast<int>(index)];
}

}  // namespace

void SelectMults() {
  auto& s = state.synth;
  s.Settling = kSettlingShort;
  if (state.ident.UhfModel == 0) return;
  const std::int32_t code = CodeForFreq(s.TestFreqMHz);
  s.SignalMult = code / kMultCodeShift;
  s.OffsetMult = code & (kMultCodeShift - 1);
  if (code != s.LastMultCode) {
    s.Settling = kSettlingLong;
    s.LastMultCode = code;
    if (code < 0 || code > kMaxMultCode) {
      state.measure.ScanRunning = 0;
      state.frame.StatusCode = ZEL_ERR_MULT_CODE;
    }
  }
}

void SelectGain() {
  auto& s = state.synth;
  if (s.TestFreqMHz < s.BandEdge1MHz) {
    s.Gain = 0;
  } else if (state.ident.FirmwareVersion100 > 621 && s.TestFreqMHz > s.BandEdge2MHz) {
    s.Gain = 2;  // firmware before 6.22 has no third band
  } else {
    s.Gain = 1;
  }
}

void BuildMultTable() {
  auto& s = state.synth;
  if (state.ident.UhfModel == 0) return;
  if (s.XtalOsc > kDefaultTableMinXtalMHz) {
    int i = 0;
    for (const Segment& seg : kDefaultSegments) {
      s.SegStartMHz[i] = seg.start_mhz;
      s.SegMults[i] = seg.code;
      ++i;
    }
  }
  ExpandMultTable();
  state.measure.FreqOffset = kUhfFreqOffsetMHz;
  s.Gain = 0;
}

void ExpandMultTable() {
  auto& s = state.synth;
  // Bounds are 64-bit so that any start value from a file subtracts safely, and every segment is
  // cut to the table. A segment needs the start of the next one for its end, so the last entry
  // can only be the end mark: a list without a mark stops there.
  int i = 0;
  std::int64_t lo = s.SegStartMHz[0];
  std::int64_t hi = static_cast<std::int64_t>(s.SegStartMHz[1]) - 1;
  for (;;) {
    const std::int64_t from = lo < 0 ? 0 : lo;
    const std::int64_t to = hi > kMultTableSize - 1 ? kMultTableSize - 1 : hi;
    for (std::int64_t f = from; f <= to; ++f) s.MultsByMHz[f] = s.SegMults[i];
    ++i;
    if (i + 1 >= kSegCount) break;
    lo = s.SegStartMHz[i];
    hi = static_cast<std::int64_t>(s.SegStartMHz[i + 1]) - 1;
    if (s.SegMults[i] < 1 || static_cast<double>(lo) > s.MaxFreqMHz + kExpandMarginMHz) break;
  }
}

}  // namespace zel
