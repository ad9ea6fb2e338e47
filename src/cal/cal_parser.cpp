// Calibration file parsing.
//
// The calibration procedure measures a short, an open and a standard resistor at every point of a
// frequency grid and writes what it measured as plain text, one item per line (CR LF; a lone CR or
// LF is taken as well). A custom file of the UHF model, as the writer makes it:
//
//    12529                                          UHF only: format number
//    50   //  _ID=A1B2C3  min5k   || bench 2         Rcal, unit id, "min5k", comment after "||"
//   Custom Cal     03-15-2012  09:30:45             custom only: marker, then N, start, end,
//    1203                                           step (MHz), one a line
//    1000    temperature=  72.5                     maximum frequency, temperature (deg F)
//    6                                              UHF only: segment count, one packed row
//    61225                                          per segment, band edges, DDS 1 level
//    ...
//    Short Circuit:  date=03-15-2012  09:30:45
//    1.5  51.2345   -0.1234                         label, re, im (ohms) of the bridge arm
//    ...                                            N records
//    Open Circuit:
//    ...
//    Standard Resistance:
//    ...
//
// A standard file has no custom lines and round(MaxFreqMHz) + 3 records per block, one per MHz.
//
// The parser reads the whole file and checks it into a staging area (what the file says, the
// records among it); it writes no state, so a refused file changes nothing. Its notices are shown
// as the checks meet them. A file cut short (an interrupted copy, a full disk) or a record line
// without its two numbers is damaged: read past its end, a cut file would load as records of 0.
#include "cal/cal_parser.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "ZEL_863_DLL.h"
#include "cal/cal_format.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

using namespace calfmt;

constexpr double kMinFreqMin5kMHz = 0.002;
// Recorded and identified maximum frequencies agree within this (files write four decimals).
constexpr double kMaxFreqToleranceMHz = 0.01;
constexpr int kNoticeDecimals = 15;

constexpr CalVerdict kAccepted{0, false};
constexpr CalVerdict kDamaged{ZEL_ERR_CAL_DAMAGED, false};

// The 1-based position behind a key found at p is p + KeyLength(key).
constexpr int KeyLength(std::string_view key) {
  return static_cast<int>(key.size());
}

std::int32_t LineInt(std::string_view line) {
  return RoundToInt(TextToNumber(line));
}

// Read only while the count is a plain number of records that fits the tables.
bool CountFits(double records) {
  return records >= 0 && records <= static_cast<double>(kCalTableSize);
}

// True when the text starts with a number by the text-to-number rule (at least one digit).
bool HoldsNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '.') ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

void ShowFreqDiagnostic(std::string_view freq_line, const CalFileContents& f, std::int32_t status) {
  const auto& id = state.ident;
  std::string text(freq_line);
  text += "\r\nu=" + NumberText(std::fabs(f.CalMaxFreqMHz - f.MaxFreqMHz), kNoticeDecimals);
  text += " cal file error=" + NumberText(status, kNoticeDecimals);
  text += " filename=";
  text += state.cal.CalFilePath;
  text += " focal=" + NumberText(f.CalMaxFreqMHz, kNoticeDecimals);
  text += " maxfreq=" + NumberText(RoundToInt(id.NominalMaxFreqMHz), kNoticeDecimals);
  text += "\r\nMaximumfreq=" + NumberText(f.MaxFreqMHz, kNoticeDecimals);
  text += "\r\nCheckID=" + NumberText(1, kNoticeDecimals);
  text += "\r\nZELuhf=" + NumberText(id.UhfModel, kNoticeDecimals);
  text += "  ZELkqc=" + NumberText(id.StandardModel, kNoticeDecimals);
  platform::ShowNotice(" 782317", text.c_str(), platform::kNoticeWarning);
}

void ShowSegmentNotice(std::int32_t code) {
  InteractiveNotice(" Need to cal", "This cal file is not compatible with the program. Error=" +
                                        NumberText(code, 0) + "\r\n\r\nPlease calibrate again.");
}

// The record lines are nearly all the file (3 x 30,003 of them in the largest), so they have a
// fast path. It takes a line of the writer's form, blanks, label, blanks, a number, blanks, a
// number, line end, in one pass over the bytes where they lie, and gives exactly what the
// text-to-number rule gives: a number of at most 19 digits whose digits fit 53 bits and which has
// at most 22 decimals is that integer divided by a power of ten, and both are exact doubles, so the
// one rounding of the division is the correct rounding of the decimal, as from_chars makes it.
// Any other line (tabs, text behind a number, more digits, a line over 255 characters, a
// damaged line) goes the general way, ParseCalRecord on the line as the reader cuts it.

constexpr int kExactDecimals = 22;
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr long kMaxFastDigits = 19;  // 10^19 - 1 < 2^64: 19 digits cannot wrap
constexpr double kPow10[kExactDecimals + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline const char* SkipBlanks(const char* p) {
  while (*p == ' ') ++p;
  return p;
}

inline const char* SkipAboveBlank(const char* p) {
  while (static_cast<unsigned char>(*p) > ' ') ++p;
  return p;
}

// A run of digits at p into m (m = m * 10^k + the digits); returns the position behind it.
inline const char* ReadDigits(const char* p, std::uint64_t& m) {
  for (;;) {
    const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) return p;
    m = m * 10 + digit;
    ++p;
  }
}

// A number at p by the text-to-number rule, with nothing before it; p moves behind it. False when
// there is no number there or it is not one the fast path takes exactly.
inline bool FastNumber(const char*& p, double* out) {
  const char* q = p;
  const bool negative = *q == '-';
  q += negative;
  std::uint64_t m = 0;
  const char* stop = ReadDigits(q, m);
  long count = stop - q;
  long decimals = 0;
  q = stop;
  if (*q == '.') {
    stop = ReadDigits(++q, m);
    decimals = stop - q;
    count += decimals;
    q = stop;
  }
  if (count == 0 || count > kMaxFastDigits || m > kExactMantissa || decimals > kExactDecimals) {
    return false;
  }
  const double v = static_cast<double>(m) / kPow10[decimals];
  *out = negative ? -v : v;
  p = q;
  return true;
}

// One record line of the writer's form at the reader's position; on success the reader is moved
// past its line end.
inline bool FastRecord(CalLineReader& r, double* first, double* second) {
  const char* const line = r.Line();
  const char* p = SkipAboveBlank(SkipBlanks(line));  // the label
  if (*p != ' ') return false;
  p = SkipBlanks(p);
  if (!FastNumber(p, first) || *p != ' ') return false;
  p = SkipBlanks(p);
  if (!FastNumber(p, second) || (*p != '\r' && *p != '\n')) return false;
  if (static_cast<std::size_t>(p - line) > kMaxLineChars) return false;
  r.Pass(p);
  return true;
}

// One block of `count` record lines into a scratch pair; false when a line is missing or holds
// no two numbers.
bool ReadBlock(CalLineReader& r, int count, double* re, double* im) {
  std::string_view line;
  for (int i = 0; i < count; ++i) {
    if (r.Line() == r.End()) return false;
    if (FastRecord(r, &re[i], &im[i])) continue;
    if (!r.Next(&line) || !ParseCalRecord(line, &re[i], &im[i])) return false;
  }
  return true;
}

// Reads and checks the whole file into f. n is the working point count (round(MaxFreqMHz) until a
// custom file says otherwise).
CalVerdict ParseWithCount(CalLineReader& r, CalFileContents& f, CalRecords& records, int n) {
  const auto& id = state.ident;
  std::string_view line;

  if (id.UhfModel != 0) {
    if (!r.Next(&line)) return kDamaged;
    if (LineInt(line) != kUhfFormatNumber) {
      InteractiveNotice(" Invalid Cal File", "The format of this cal file is not compatible.");
      return CalVerdict{ZEL_ERR_CAL_FORMAT, false};
    }
  }

  // The ID line. The unit's identification may stand anywhere in it, the comment included; the
  // comment starts one blank behind its key.
  if (!r.Next(&line)) return kDamaged;
  bool id_ok = true;
  if (TextFind(line, kIdKey) > 0) {
    id_ok = TextFind(line, id.UnitIdText) > 0 || TextFind(line, id.UnitIdAltText) > 0;
  }
  if (TextFind(line, kMin5kKey) > 0) f.MinFreqMHz = kMinFreqMin5kMHz;
  if (const int p = TextFind(line, kCommentKey); p > 0) {
    f.HasComment = true;
    f.CalComment = TextMid(line, p + KeyLength(kCommentKey) + 1, kTextSize);
    line = line.substr(0, static_cast<std::size_t>(p - 1));
  }
  if (!id_ok) {
    InteractiveNotice(" Wrong cal file",
                      "This cal file is for a different instrument.\r\rPlease load another cal "
                      "file or recalibrate.");
    return CalVerdict{ZEL_ERR_CAL_WRONG_UNIT, true};
  }
  f.Rcal = TextToNumber(line);
  if (f.Rcal < kMinRcal) f.Rcal = kDefaultRcal;

  if (!r.Next(&line)) return kDamaged;
  f.CustomCal = 0;
  if (TextFind(line, kCustomKey) > 0) {
    // A count beyond the tables is refused here, before it is taken for anything. A count of 3
    // or less (a negative one too) takes no tables and the checks below still run.
    if (!r.Next(&line)) return kDamaged;
    const double count = std::nearbyint(TextToNumber(line) - kExtraRecords);
    if (count + kExtraRecords > static_cast<double>(kCalTableSize)) {
      return CalVerdict{ZEL_ERR_CAL_TOO_LARGE, false};
    }
    n = RoundToInt(count);  // far below 0 it is pinned, and n + 3 still fits
    f.NumCalPoints = n + kExtraRecords;
    std::string_view start, end, step;
    if (!r.Next(&start) || !r.Next(&end) || !r.Next(&step)) return kDamaged;
    f.CustStartMHz = TextToNumber(start);
    f.CustEndMHz = TextToNumber(end);
    f.CustStepMHz = TextToNumber(step);
    f.HasScanWindow = true;
    const auto& m = state.measure;
    f.Scan = {m.ScanStartMHz, m.ScanEndMHz, m.ScanStepMHz, f.MinFreqMHz, f.MaxFreqMHz};
    if (const int rule = NormaliseScanWindow(f.Scan, id.PowerModel != 0, m.MaxScanPoints);
        rule != 0)
      ShowScanLimitNotice(rule);
    f.MinFreqMHz = f.Scan.MinFreqMHz;
    f.MaxFreqMHz = f.Scan.MaxFreqMHz;
    f.CustomCal = 1;
    if (!r.Next(&line)) return kDamaged;
  } else if (!CountFits(static_cast<double>(n) + kExtraRecords) ||
             !CountFits(static_cast<double>(f.NumCalPoints))) {
    // The instrument's range needs more whole-MHz points than the tables hold.
    return CalVerdict{ZEL_ERR_CAL_TOO_LARGE, false};
  }

  // Maximum frequency and temperature. The character behind "=" is the writer's blank and is
  // always passed over, whatever it is.
  if (const int p = TextFind(line, kTemperatureKey); p > 0) {
    const double t = TextToNumber(TextMid(line, p + KeyLength(kTemperatureKey) + 1, kTextSize));
    if (t > kMaxTemperatureF || t < 0) {
      InteractiveNotice(" Cal File Error 26805",
                        "Invalid temperature reading=" + NumberText(t, kNoticeDecimals));
      return CalVerdict{ZEL_ERR_CAL_TEMPERATURE, true};
    }
    f.HasTemperature = true;
    f.CalTemperature = t;
    line = line.substr(0, static_cast<std::size_t>(p - 1));
  }
  f.CalMaxFreqMHz = TextToNumber(line);

  std::int32_t status = 0;
  const bool freq_mismatch = std::fabs(f.CalMaxFreqMHz - f.MaxFreqMHz) > kMaxFreqToleranceMHz;
  if (freq_mismatch) {
    status = ZEL_ERR_CAL_MAXFREQ;
    ShowFreqDiagnostic(line, f, status);
    InteractiveNotice("",
                      "The cal data file is not appropriate for this particular instrument.\r"
                      "Please calibrate again.");
    n = -1;
  }

  if (id.UhfModel != 0) {
    if (!r.Next(&line)) return kDamaged;
    int segs = LineInt(line);
    if (segs > kSegCount) {
      segs = kSegCount;
      status = ZEL_ERR_UHF_MANY_SEGMENTS;
      ShowSegmentNotice(status);
    }
    if (segs < kMinSegments) {
      segs = kMinSegments;
      status = ZEL_ERR_UHF_FEW_SEGMENTS;
      ShowSegmentNotice(status);
    }
    for (int i = 0; i < segs; ++i) {
      if (!r.Next(&line)) return kDamaged;
      const SegmentRow row = UnpackSegmentRow(i, LineInt(line));
      f.SegStartMHz[i] = row.StartMHz;
      f.SegMults[i] = row.Code;
    }
    f.Segments = segs;
    if (!freq_mismatch && status > 0) return CalVerdict{ZEL_ERR_CAL_SEGMENTS, false};
    std::string_view edge1, edge2, level;
    if (!r.Next(&edge1) || !r.Next(&edge2) || !r.Next(&level)) return kDamaged;
    f.BandEdge1MHz = LineInt(edge1);
    f.BandEdge2MHz = LineInt(edge2);
    f.Dds1Level = TextToNumber(level);
  }

  if (status != 0) return CalVerdict{status, true};

  if (!r.Next(&line)) return kDamaged;
  if (const int p = TextFind(line, kDateKey); p > 0) {
    f.HasDate = true;
    f.CalDate = TextMid(line, p + KeyLength(kDateKey), kTextSize);
  }
  if (n <= 0) return kAccepted;

  const int count = n + kExtraRecords;
  if (!ReadBlock(r, count, records.ShortRe, records.ShortIm) || !r.Next(&line) ||
      !ReadBlock(r, count, records.OpenRe, records.OpenIm) || !r.Next(&line) ||
      !ReadBlock(r, count, records.LoadRe, records.LoadIm)) {
    return kDamaged;
  }
  f.Records = count;
  return kAccepted;
}

}  // namespace

void InteractiveNotice(const char* title, const std::string& text) {
  if (state.frame.InExportCall == 0) platform::ShowNotice(title, text.c_str(), platform::kNoticeOk);
}

CalVerdict ParseCalFile(CalLineReader& reader, CalFileContents& contents, CalRecords& records) {
  // n, the working point count: round(MaxFreqMHz) until a custom file says otherwise.
  return ParseWithCount(reader, contents, records, RoundToInt(contents.MaxFreqMHz));
}

bool ParseCalRecord(std::string_view line, double* first, double* second) {
  std::size_t i = 0;
  const std::size_t size = line.size();
  auto skip_blanks = [&] {
    while (i < size && line[i] == ' ') ++i;
  };
  auto skip_field = [&] {
    while (i < size && line[i] != ' ') ++i;
  };
  skip_blanks();
  skip_field();  // the label
  skip_blanks();
  const std::size_t value_start = i;
  skip_field();
  const std::string_view value1 = line.substr(value_start, i - value_start);
  skip_blanks();
  const std::string_view value2 = line.substr(i);
  *first = TextToNumber(value1);
  *second = TextToNumber(value2);
  return HoldsNumber(value1) && HoldsNumber(value2);
}

}  // namespace zel
