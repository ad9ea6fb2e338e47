// The calibration file's format: its constants, the texts the loader looks for, and the packing of
// a UHF segment row in both directions. The writer and the loader both take them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "state/state.h"

namespace zel::calfmt {

// The first line of a UHF model's file.
inline constexpr std::int32_t kUhfFormatNumber = 12529;
// Records per block beyond the grid points of a standard file (and the floor of a custom one):
// a standard file has round(MaxFreqMHz) + 3 records, a custom file of N points round(N - 3) + 3.
inline constexpr int kExtraRecords = 3;
// The UHF section's segment count lies within kMinSegments .. kSegCount.
inline constexpr int kMinSegments = 4;
// Below this Rcal the file carries no usable resistor value; the 50-ohm standard is assumed.
inline constexpr double kMinRcal = 5;
inline constexpr double kDefaultRcal = 50;
// The calibration temperature lies within 0 .. kMaxTemperatureF degrees Fahrenheit.
inline constexpr double kMaxTemperatureF = 200;
// The interactive reader keeps up to 255 characters of a line; the rest of a longer line is
// passed over up to its line end.
inline constexpr std::size_t kMaxLineChars = kTextSize - 1;
// The longest file the format allows: every line it can hold (UHF format number, ID line, five
// custom lines, frequency line, segment count, the rows, band edges and level, three headers and
// three full blocks), each of the longest length with CR LF.
inline constexpr std::size_t kMaxFileLines =
    1 + 1 + 5 + 1 + 1 + kSegCount + 3 + 3 + 3 * static_cast<std::size_t>(kCalTableSize);
inline constexpr std::size_t kMaxFileBytes = kMaxFileLines * (kMaxLineChars + 2);

// What the loader looks for in the header lines, and where the writer puts it.
inline constexpr std::string_view kIdKey = "ID=";             // ID line: the unit's id follows
inline constexpr std::string_view kMin5kKey = "min5k";        // ID line: minimum 0.002 MHz
inline constexpr std::string_view kCommentKey = "||";         // ID line: the comment follows
inline constexpr std::string_view kCustomKey = "Custom Cal";  // marker line of a custom file
inline constexpr std::string_view kTemperatureKey = "temperature=";  // frequency line
inline constexpr std::string_view kDateKey = "date=";                // first table header

// A UHF segment row packs the segment's start (MHz) and multiplier code into one integer, offset
// by the row's index i so that no two rows look alike:
//   row = 1113 * (start + 5 + 11 i) + (code + 7 + 3 i)
// Starts up to kMaxSegStartMHz and codes up to kMaxMultCode unpack exactly.
inline constexpr std::int32_t kSegmentRowPitch = 1113;
inline constexpr std::int32_t kMaxSegStartMHz = 100000;
inline constexpr std::int32_t kMaxMultCode = 660;

constexpr std::int32_t PackSegmentRow(int i, std::int32_t start_mhz, std::int32_t code) {
  return kSegmentRowPitch * (start_mhz + 5 + 11 * i) + (code + 7 + 3 * i);
}

struct SegmentRow {
  std::int32_t StartMHz;
  std::int32_t Code;
};

// The quotient is truncated toward zero, as the interactive reader's integer division does, so a
// row of any value unpacks without overflow.
constexpr SegmentRow UnpackSegmentRow(int i, std::int32_t row) {
  const std::int32_t q = row / kSegmentRowPitch;
  return {q - 5 - 11 * i, row - kSegmentRowPitch * q - (3 * i + 7)};
}

static_assert(UnpackSegmentRow(0, 61225).StartMHz == 50 && UnpackSegmentRow(0, 61225).Code == 3);
static_assert(UnpackSegmentRow(1, 129122).StartMHz == 100 && UnpackSegmentRow(1, 129122).Code == 4);
static_assert(UnpackSegmentRow(kSegCount - 1,
                               PackSegmentRow(kSegCount - 1, kMaxSegStartMHz, kMaxMultCode))
                  .Code == kMaxMultCode);

}  // namespace zel::calfmt
