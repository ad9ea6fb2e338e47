// The calibration writer: the file of a calibration run in the form the interactive calibration
// procedure writes, for the host tools that run the procedure through the exported calls.
//
//    12529                                             UHF only
//    50   //  _ID=A1B2C3  min5k   || bench 2
//   Custom Cal     03-15-2012  09:30:45                custom only, with N, start, end, step
//    180    temperature=  72.5
//    ... UHF only: segment count, rows 1113 (a + 5 + 11 i) + (b + 7 + 3 i), band edges, level
//    Short Circuit:  date=03-15-2012  09:30:45
//     0     50.2000      0.0013                        "###", "######.####", "######.####"
//
// Numbers in the header lines follow the number text rule (a leading blank, whole numbers without
// a decimal point). Everything is checked before the first byte is written, so the loader will
// take what this writes; the file is built in memory and handed to the platform, which writes it
// under a fresh name beside the target and renames it over the target once it is on the disk, so
// a failed write never leaves a half-written file at that name and never writes through a name
// that was there before. A path that names a folder is refused.

#include "cal/cal_writer.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "cal/cal_format.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

using namespace calfmt;

constexpr int kHeaderDecimals = 4;
// Grid frequencies keep ten decimals so that a fine custom grid reads back at its own positions.
constexpr int kGridDecimals = 10;
// The widest value the "######.####" columns hold; larger magnitudes are written as this.
constexpr double kValueLimit = 999999.9999;
constexpr int kMinCustomPoints = kExtraRecords + 1;
constexpr double kMaxRcal = 999999;
constexpr double kMaxFrequencyMHz = 1e6;

// False for a value outside lo..hi and for a value that is not a number.
bool Within(double v, double lo, double hi) {
  return v >= lo && v <= hi;
}

bool HasLineBreak(std::string_view t) {
  return t.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view Text(const char* t) {
  return t ? std::string_view(t) : std::string_view();
}

std::string DateTimeText(const ZEL_CalSpec& desc) {
  if (!Text(desc.date_time).empty()) return desc.date_time;
  const platform::DateTime now = platform::Current().Now();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d-%02d-%04d  %02d:%02d:%02d", now.Month, now.Day, now.Year,
                now.Hour, now.Minute, now.Second);
  return buf;
}

void AppendValue(std::string& out, double v) {
  if (v > kValueLimit) v = kValueLimit;
  if (v < -kValueLimit) v = -kValueLimit;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%11.4f", v);
  out += buf;
}

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  out += "\r\n";
}

int PointCount(const ZEL_CalSpec& desc) {
  if (desc.custom != 0) return desc.points;
  return RoundToInt(desc.max_freq_mhz) + kExtraRecords;
}

bool DescIsValid(const ZEL_CalSpec& desc, const CalWriterTables& t, double offset) {
  if (!Within(desc.rcal_ohms, kMinRcal, kMaxRcal)) return false;
  if (!Within(desc.max_freq_mhz, 0, kMaxFrequencyMHz)) return false;
  if (!Within(desc.temperature_f, 0, kMaxTemperatureF)) return false;
  if (!Within(offset, -kMaxRcal, kMaxRcal)) return false;
  if (desc.custom != 0) {
    if (desc.points < kMinCustomPoints || desc.points > kCalTableSize) return false;
    if (!Within(desc.start_mhz, -kMaxFrequencyMHz, kMaxFrequencyMHz)) return false;
    if (!Within(desc.end_mhz, -kMaxFrequencyMHz, kMaxFrequencyMHz)) return false;
    if (!(desc.step_mhz > 0 && desc.step_mhz <= kMaxFrequencyMHz)) return false;
  } else {
    // The loader reads round(max) + 3 records into tables of round(max + 3) entries.
    const int n = RoundToInt(desc.max_freq_mhz);
    if (n < 1 || n + kExtraRecords > kCalTableSize) return false;
    if (RoundToInt(desc.max_freq_mhz + kExtraRecords) > kCalTableSize) return false;
  }
  const std::string_view id = Text(desc.unit_id);
  const std::string_view comment = Text(desc.comment);
  if (HasLineBreak(id) || HasLineBreak(comment) || HasLineBreak(Text(desc.date_time))) return false;
  // "||" starts the comment; without an identification any "ID=" would make the loader look for
  // one and refuse the file.
  if (TextFind(id, kCommentKey) > 0) return false;
  if (id.empty() && TextFind(comment, kIdKey) > 0) return false;
  if (desc.uhf != 0) {
    if (desc.segment_count < kMinSegments || desc.segment_count > kSegCount) return false;
    if (!desc.seg_start_mhz || !desc.seg_mults) return false;
    for (int i = 0; i < desc.segment_count; ++i) {
      if (desc.seg_start_mhz[i] < 0 || desc.seg_start_mhz[i] > kMaxSegStartMHz) return false;
      if (desc.seg_mults[i] < 0 || desc.seg_mults[i] > kMaxMultCode) return false;
    }
    if (!Within(desc.dds1_level, 0, 100)) return false;
  }
  const int count = PointCount(desc);
  for (const double* a : {t.ShortRe, t.ShortIm, t.OpenRe, t.OpenIm, t.LoadRe, t.LoadIm}) {
    for (int i = 0; i < count; ++i) {
      if (std::isnan(a[i])) return false;
    }
  }
  return true;
}

void AppendBlock(std::string& out, const ZEL_CalSpec& desc, const double* re, const double* im,
                 double offset) {
  const int count = PointCount(desc);
  char label[32];
  for (int i = 0; i < count; ++i) {
    if (desc.custom != 0) {
      out += NumberText(desc.start_mhz + (i - 2) * desc.step_mhz, kGridDecimals);
    } else {
      std::snprintf(label, sizeof label, "%3d", i);
      out += label;
    }
    out += "  ";
    AppendValue(out, re[i] + offset);
    out += "   ";
    AppendValue(out, im[i]);
    out += "\r\n";
  }
}

}  // namespace

std::int32_t WriteCalFile(const char* path, const ZEL_CalSpec& desc, const CalWriterTables& t,
                          double arm_offset_ohms) {
  if (!path || !*path) return ZEL_ERR_CAL_SPEC;
  // The loader's path buffer holds 255 characters.
  if (Text(path).size() > static_cast<std::size_t>(kTextSize - 1)) return ZEL_ERR_CAL_PATH;
  if (!t.ShortRe || !t.ShortIm || !t.OpenRe || !t.OpenIm || !t.LoadRe || !t.LoadIm) {
    return ZEL_ERR_CAL_SPEC;
  }
  if (!DescIsValid(desc, t, arm_offset_ohms)) return ZEL_ERR_CAL_SPEC;

  const std::string date_time = DateTimeText(desc);
  const std::string_view id = Text(desc.unit_id);
  std::string id_line = NumberText(desc.rcal_ohms, kHeaderDecimals) + "   //  ";
  if (!id.empty()) {
    id_line += "_";
    id_line += kIdKey;
    id_line += id;
    id_line += "  ";
  }
  if (desc.min5k != 0) id_line += kMin5kKey;
  id_line += "   ";
  id_line += kCommentKey;
  id_line += " ";
  id_line += Text(desc.comment);
  const std::string marker = std::string(kCustomKey) + "     " + date_time;
  const std::string header = " Short Circuit:  " + std::string(kDateKey) + date_time;
  if (id_line.size() > kMaxLineChars || marker.size() > kMaxLineChars ||
      header.size() > kMaxLineChars) {
    return ZEL_ERR_CAL_SPEC;
  }

  std::string out;
  out.reserve(static_cast<std::size_t>(PointCount(desc)) * 3 * 40 + 4096);
  if (desc.uhf != 0) AppendLine(out, NumberText(kUhfFormatNumber, 0));
  AppendLine(out, id_line);
  if (desc.custom != 0) {
    AppendLine(out, marker);
    AppendLine(out, NumberText(desc.points, 0));
    AppendLine(out, NumberText(desc.start_mhz, kGridDecimals));
    AppendLine(out, NumberText(desc.end_mhz, kGridDecimals));
    AppendLine(out, NumberText(desc.step_mhz, kGridDecimals));
  }
  AppendLine(out, NumberText(desc.max_freq_mhz, kHeaderDecimals) + "    " +
                      std::string(kTemperatureKey) + " " +
                      NumberText(desc.temperature_f, kHeaderDecimals));
  if (desc.uhf != 0) {
    AppendLine(out, NumberText(desc.segment_count, 0));
    for (int i = 0; i < desc.segment_count; ++i) {
      AppendLine(out, NumberText(PackSegmentRow(i, desc.seg_start_mhz[i], desc.seg_mults[i]), 0));
    }
    AppendLine(out, NumberText(desc.band_edge1_mhz, 0));
    AppendLine(out, NumberText(desc.band_edge2_mhz, 0));
    AppendLine(out, NumberText(desc.dds1_level, kHeaderDecimals));
  }
  AppendLine(out, header);
  AppendBlock(out, desc, t.ShortRe, t.ShortIm, arm_offset_ohms);
  AppendLine(out, " Open Circuit:");
  AppendBlock(out, desc, t.OpenRe, t.OpenIm, arm_offset_ohms);
  AppendLine(out, " Standard Resistance:");
  AppendBlock(out, desc, t.LoadRe, t.LoadIm, arm_offset_ohms);

  return platform::ReplaceWholeFile(path, out.data(), out.size()) == platform::FileWrite::kOk
             ? 0
             : ZEL_ERR_CAL_WRITE;
}

}  // namespace zel
