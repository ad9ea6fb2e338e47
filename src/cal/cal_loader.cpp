// Calibration file loading.
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
// A load is a transaction. The whole file is read into memory and checked line by line into a
// staging area (what the file says, the records among it); only a file that passes every check is
// applied. A refused file changes nothing but the status code and, where the check says so,
// CalLoaded; its notices are shown as the checks meet them. A file cut short (an interrupted copy,
// a full disk) or a record line without its two numbers is refused as damaged: read past its end,
// a cut file would load as records of 0.

#include "cal/cal_loader.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "ZEL_863_DLL.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"
#include "synth/dds.h"

namespace zel {

namespace {

// The reader keeps up to 255 characters of a line, as the interactive reader's buffer does; the
// rest of a longer line is passed over up to its line end.
constexpr std::size_t kMaxLineChars = kTextSize - 1;

constexpr std::int32_t kUhfFormatNumber = 12529;
constexpr double kMaxTemperatureF = 200;
constexpr double kMinFreqMin5kMHz = 0.002;
// Below this Rcal the file carries no usable resistor value; the 50-ohm standard is assumed.
constexpr double kMinRcal = 5;
constexpr double kDefaultRcal = 50;
// Recorded and identified maximum frequencies agree within this (files write four decimals).
constexpr double kMaxFreqToleranceMHz = 0.01;
constexpr int kMinSegments = 4;
constexpr int kSegmentRowPitch = 1113;
constexpr double kZeroLoadDistance = 1e-4;
constexpr int kNoticeDecimals = 15;
// Records per block beyond the grid points of a standard file (and the floor of a custom one).
constexpr int kExtraRecords = 3;
// The longest file the format allows: every line it can hold, each of the longest length with
// CR LF. Anything longer is no calibration file and is refused before it is read.
constexpr std::size_t kMaxFileLines =
    1 + 1 + 5 + 1 + 1 + kSegCount + 3 + 1 + 3 * static_cast<std::size_t>(kCalTableSize) + 2;
constexpr std::size_t kMaxFileBytes = kMaxFileLines * (kMaxLineChars + 2);

// The high-power model's range for the scan window rules.
constexpr double kPowerMinFreqMHz = 0.01;
constexpr double kPowerMaxFreqMHz = 170;

// The file's lines, handed out where they lie in the buffer. *end is a sentinel line end, so the
// scan for a line end needs no bounds test.
struct LineCursor {
  const char* pos;
  const char* end;

  // The next line without its line end, cut to 255 characters; false past the end of the file.
  bool Next(std::string_view* line) {
    if (pos == end) return false;
    const char* p = pos;
    // Both line ends lie below 14: one comparison passes over every other character.
    while (static_cast<unsigned char>(*p) > '\r' || (*p != '\r' && *p != '\n')) ++p;
    const std::size_t length = static_cast<std::size_t>(p - pos);
    *line = std::string_view(pos, length < kMaxLineChars ? length : kMaxLineChars);
    if (p == end) {
      pos = end;  // a last line without its line end
    } else {
      pos = p + 1;
      if (*p == '\r' && pos != end && *pos == '\n') ++pos;
    }
    return true;
  }
};

// The scan window and the frequency range its rules work on.
struct ScanLimits {
  double StartMHz;
  double EndMHz;
  double StepMHz;
  double MinFreqMHz;
  double MaxFreqMHz;
};

// What a file says, held until every line of it has been read and checked. Texts point into the
// file's bytes.
struct Staged {
  double MinFreqMHz;
  double MaxFreqMHz;
  double Rcal;
  bool HasComment;
  std::string_view CalComment;
  std::int32_t NumCalPoints;
  std::int32_t CustomCal;
  double CustStartMHz;
  double CustEndMHz;
  double CustStepMHz;
  bool HasScanWindow;
  ScanLimits Scan;
  bool HasTemperature;
  double CalTemperature;
  double CalMaxFreqMHz;
  int Segments;  // UHF rows read; 0 for the other models
  std::int32_t SegStartMHz[kSegCount];
  std::int32_t SegMults[kSegCount];
  std::int32_t BandEdge1MHz;
  std::int32_t BandEdge2MHz;
  double Dds1Level;
  bool HasDate;
  std::string_view CalDate;
  int Records;  // records per block read into the scratch tables; 0: the file takes no tables
};

// The records of one load.
struct CalScratch {
  double ShortRe[kCalTableSize];
  double ShortIm[kCalTableSize];
  double OpenRe[kCalTableSize];
  double OpenIm[kCalTableSize];
  double LoadRe[kCalTableSize];
  double LoadIm[kCalTableSize];
};
CalScratch scratch;
// The file's bytes; the block is kept, since a calibration is loaded again and again at one size.
platform::FileBytes file_bytes;

// How a load ends: the status code, and whether the calibration in use stops being in use.
struct Outcome {
  std::int32_t status;
  bool clears_loaded;
};
constexpr Outcome kAccepted{0, false};
constexpr Outcome kDamaged{ZEL_ERR_CAL_DAMAGED, false};

// The interactive engine's notices; inside an exported call the status code is the report.
void InteractiveNotice(const char* title, const std::string& text) {
  if (state.frame.InExportCall == 0) platform::ShowNotice(title, text.c_str(), platform::kNoticeOk);
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

void ShowFreqDiagnostic(std::string_view freq_line, const Staged& f, std::int32_t status) {
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

void ShowScanLimitNotice(int rule) {
  const std::string title = " Scan Limit Error " + NumberText(rule, 0);
  platform::ShowNotice(title.c_str(),
                       "A scan limit error was found.\r\n"
                       "Be sure the proper scan limits are set and\r\n"
                       "the correct cal file and config file are loaded.",
                       platform::kNoticeTopmost);
}

// The scan window normalisation and recomputation on a copy; returns the number of the last rule
// that fired, 0 when none did.
int NormaliseScanWindow(ScanLimits& w) {
  double start = std::fabs(w.StartMHz);
  double end = std::fabs(w.EndMHz);
  double step = std::fabs(w.StepMHz);
  if (state.ident.PowerModel != 0) {
    w.MinFreqMHz = kPowerMinFreqMHz;
    w.MaxFreqMHz = kPowerMaxFreqMHz;
  }
  // The smallest usable window and step; a step outside these bounds becomes a hundredth of the
  // window.
  constexpr double kMinStepMHz = 1e-7;
  constexpr double kMinSpanMHz = 0.0001;
  constexpr double kMinSpanStepMHz = 2e-6;
  int rule = 0;
  if (start < w.MinFreqMHz) start = w.MinFreqMHz, rule = 1;
  if (start > w.MaxFreqMHz) start = w.MaxFreqMHz - 1, rule = 2;
  if (end < w.MinFreqMHz) end = w.MinFreqMHz + 1, rule = 3;
  if (end > w.MaxFreqMHz) end = w.MaxFreqMHz, rule = 4;
  if (step < kMinStepMHz || step > w.MaxFreqMHz / 10) step = (end - start) * 0.01, rule = 5;
  if (end - start < kMinSpanMHz) end = start + kMinSpanMHz, step = kMinSpanStepMHz, rule = 6;
  w.StartMHz = start;
  w.EndMHz = end;
  w.StepMHz = step;

  // The window's end moves to the nearest round graph width at or above the span: a division
  // count times a 1-2-5 division width.
  static constexpr int kDivisions[] = {8, 10, 5, 12, 14, 15, 16, 18, 20};
  static constexpr double kWidths[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01,
                                       0.02,   0.05,   0.1,    0.2,   0.5,   1,     2,
                                       5,      10,     20,     50,    100};
  const double span = w.EndMHz - w.StartMHz - 0.000001;
  double best = -1;
  double best_excess = 0;
  for (int divisions : kDivisions) {
    for (double width : kWidths) {
      const double product = divisions * width;
      const double excess = product - span;
      if (excess >= 0 && (best < 0 || excess < best_excess)) best = product, best_excess = excess;
    }
  }
  // A window wider than every graph width keeps its end.
  if (best >= 0) w.EndMHz = w.StartMHz + best;
  if (w.EndMHz > w.MaxFreqMHz) w.EndMHz = w.MaxFreqMHz;

  constexpr int kMinScanPoints = 5;
  const int max_points = state.measure.MaxScanPoints;
  const double window = w.EndMHz - w.StartMHz;
  int points = RoundToInt((window + 0.0000001) / w.StepMHz + 1);
  if (points > max_points - 1) {
    points = max_points;
    w.StepMHz = window / (max_points - 1);
  }
  if (points < kMinScanPoints) w.StepMHz = window / (kMinScanPoints - 1);
  return rule;
}

// One block of `count` record lines into a scratch pair; false when a line is missing or holds
// no two numbers.
bool ReadBlock(LineCursor& r, int count, double* re, double* im) {
  std::string_view line;
  for (int i = 0; i < count; ++i) {
    if (!r.Next(&line) || !ParseCalRecord(line, &re[i], &im[i])) return false;
  }
  return true;
}

// Reads and checks the whole file into f. n is the working point count (round(MaxFreqMHz) until a
// custom file says otherwise).
Outcome ParseFile(LineCursor& r, Staged& f, int n) {
  const auto& id = state.ident;
  std::string_view line;

  if (id.UhfModel != 0) {
    if (!r.Next(&line)) return kDamaged;
    if (LineInt(line) != kUhfFormatNumber) {
      InteractiveNotice(" Invalid Cal File", "The format of this cal file is not compatible.");
      return {ZEL_ERR_CAL_FORMAT, false};
    }
  }

  // The ID line. The unit's identification may stand anywhere in it, the comment included.
  if (!r.Next(&line)) return kDamaged;
  bool id_ok = true;
  if (TextFind(line, "ID=") > 0) {
    id_ok = TextFind(line, id.UnitIdText) > 0 || TextFind(line, id.UnitIdAltText) > 0;
  }
  if (TextFind(line, "min5k") > 0) f.MinFreqMHz = kMinFreqMin5kMHz;
  if (const int p = TextFind(line, "||"); p > 0) {
    f.HasComment = true;
    f.CalComment = TextMid(line, p + 3, kTextSize);
    line = line.substr(0, static_cast<std::size_t>(p - 1));
  }
  if (!id_ok) {
    InteractiveNotice(" Wrong cal file",
                      "This cal file is for a different instrument.\r\rPlease load another cal "
                      "file or recalibrate.");
    return {ZEL_ERR_CAL_WRONG_UNIT, true};
  }
  f.Rcal = TextToNumber(line);
  if (f.Rcal < kMinRcal) f.Rcal = kDefaultRcal;

  if (!r.Next(&line)) return kDamaged;
  f.CustomCal = 0;
  if (TextFind(line, "Custom Cal") > 0) {
    // A count beyond the tables is refused here, before it is taken for anything. A count of 3
    // or less (a negative one too) takes no tables and the checks below still run.
    if (!r.Next(&line)) return kDamaged;
    const double count = std::nearbyint(TextToNumber(line) - kExtraRecords);
    if (count + kExtraRecords > static_cast<double>(kCalTableSize)) {
      return {ZEL_ERR_CAL_TOO_LARGE, false};
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
    if (const int rule = NormaliseScanWindow(f.Scan); rule != 0) ShowScanLimitNotice(rule);
    f.MinFreqMHz = f.Scan.MinFreqMHz;
    f.MaxFreqMHz = f.Scan.MaxFreqMHz;
    f.CustomCal = 1;
    if (!r.Next(&line)) return kDamaged;
  } else if (!CountFits(static_cast<double>(n) + kExtraRecords) ||
             !CountFits(static_cast<double>(f.NumCalPoints))) {
    // The instrument's range needs more whole-MHz points than the tables hold.
    return {ZEL_ERR_CAL_TOO_LARGE, false};
  }

  // Maximum frequency and temperature. The character behind "=" is the writer's blank and is
  // always passed over, whatever it is.
  if (const int p = TextFind(line, "temperature="); p > 0) {
    const double t = TextToNumber(TextMid(line, p + 13, kTextSize));
    if (t > kMaxTemperatureF || t < 0) {
      InteractiveNotice(" Cal File Error 26805",
                        "Invalid temperature reading=" + NumberText(t, kNoticeDecimals));
      return {ZEL_ERR_CAL_TEMPERATURE, true};
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
      const std::int32_t v = LineInt(line);
      const std::int32_t q = v / kSegmentRowPitch;
      f.SegStartMHz[i] = q - 5 - 11 * i;
      f.SegMults[i] = v - kSegmentRowPitch * q - (3 * i + 7);
    }
    f.Segments = segs;
    if (!freq_mismatch && status > 0) return {ZEL_ERR_CAL_SEGMENTS, false};
    std::string_view edge1, edge2, level;
    if (!r.Next(&edge1) || !r.Next(&edge2) || !r.Next(&level)) return kDamaged;
    f.BandEdge1MHz = LineInt(edge1);
    f.BandEdge2MHz = LineInt(edge2);
    f.Dds1Level = TextToNumber(level);
  }

  if (status != 0) return {status, true};

  if (!r.Next(&line)) return kDamaged;
  if (const int p = TextFind(line, "date="); p > 0) {
    f.HasDate = true;
    f.CalDate = TextMid(line, p + 5, kTextSize);
  }
  if (n <= 0) return kAccepted;

  const int records = n + kExtraRecords;
  if (!ReadBlock(r, records, scratch.ShortRe, scratch.ShortIm) || !r.Next(&line) ||
      !ReadBlock(r, records, scratch.OpenRe, scratch.OpenIm) || !r.Next(&line) ||
      !ReadBlock(r, records, scratch.LoadRe, scratch.LoadIm)) {
    return kDamaged;
  }
  f.Records = records;
  return kAccepted;
}

// Applies an accepted file: its settings, and its tables when it has them.
void Apply(const Staged& f) {
  auto& c = state.cal;
  auto& s = state.synth;
  s.MinFreqMHz = f.MinFreqMHz;
  s.MaxFreqMHz = f.MaxFreqMHz;
  if (f.HasComment) SetText(c.CalComment, f.CalComment);
  c.Rcal = f.Rcal;
  // A file without tables leaves the tables in use with the grid they were loaded with.
  if (f.Records > 0 || c.CalLoaded == 0) {
    c.NumCalPoints = f.NumCalPoints;
    c.CustomCal = f.CustomCal;
    if (f.CustomCal != 0) {
      c.CustStartMHz = f.CustStartMHz;
      c.CustEndMHz = f.CustEndMHz;
      c.CustStepMHz = f.CustStepMHz;
    }
  }
  if (f.HasScanWindow) {
    auto& m = state.measure;
    m.ScanStartMHz = f.Scan.StartMHz;
    m.ScanEndMHz = f.Scan.EndMHz;
    m.ScanStepMHz = f.Scan.StepMHz;
  }
  if (f.HasTemperature) c.CalTemperature = f.CalTemperature;
  c.CalMaxFreqMHz = f.CalMaxFreqMHz;
  if (state.ident.UhfModel != 0) {
    for (int i = 0; i < f.Segments; ++i) {
      s.SegStartMHz[i] = f.SegStartMHz[i];
      s.SegMults[i] = f.SegMults[i];
    }
    ExpandMultTable();
    s.BandEdge1MHz = f.BandEdge1MHz;
    s.BandEdge2MHz = f.BandEdge2MHz;
    s.Dds1Level = f.Dds1Level;
    SetDdsLevel(f.Dds1Level);
  }
  if (f.HasDate) SetText(c.CalDate, f.CalDate);
  if (f.Records <= 0) return;

  // A standard table may be one entry longer than its records (a maximum frequency that ends in
  // exactly .5 rounds both ways); that entry is 0, never a value of an earlier load.
  const int records = f.Records;
  const int entries = c.NumCalPoints > records ? c.NumCalPoints : records;
  auto commit = [&](double* dst, const double* src) {
    std::memcpy(dst, src, sizeof(double) * static_cast<std::size_t>(records));
    for (int i = records; i < entries; ++i) dst[i] = 0;
  };
  commit(c.CalShortRe, scratch.ShortRe);
  commit(c.CalShortIm, scratch.ShortIm);
  commit(c.CalOpenRe, scratch.OpenRe);
  commit(c.CalOpenIm, scratch.OpenIm);
  commit(c.CalLoadRe, scratch.LoadRe);
  commit(c.CalLoadIm, scratch.LoadIm);
  CalcLoadFactor();
  c.CalLoaded = 1;
}

}  // namespace

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

void CalcLoadFactor() {
  auto& c = state.cal;
  const int entries = c.NumCalPoints < kCalTableSize ? c.NumCalPoints : kCalTableSize;
  for (int i = 0; i < entries; ++i) {
    const double a_re = c.CalOpenRe[i] - c.CalLoadRe[i];
    const double a_im = c.CalOpenIm[i] - c.CalLoadIm[i];
    const double b_re = c.CalLoadRe[i] - c.CalShortRe[i];
    const double b_im = c.CalLoadIm[i] - c.CalShortIm[i];
    double d = b_re * b_re + b_im * b_im;
    if (d == 0) d = kZeroLoadDistance;
    c.CalLoadRe[i] = c.Rcal * (a_re * b_re + a_im * b_im) / d;
    c.CalLoadIm[i] = c.Rcal * (a_im * b_re - a_re * b_im) / d;
  }
}

void CheckScanLimits() {
  auto& m = state.measure;
  auto& s = state.synth;
  ScanLimits w{m.ScanStartMHz, m.ScanEndMHz, m.ScanStepMHz, s.MinFreqMHz, s.MaxFreqMHz};
  const int rule = NormaliseScanWindow(w);
  if (rule != 0) ShowScanLimitNotice(rule);
  m.ScanStartMHz = w.StartMHz;
  m.ScanEndMHz = w.EndMHz;
  m.ScanStepMHz = w.StepMHz;
  s.MinFreqMHz = w.MinFreqMHz;
  s.MaxFreqMHz = w.MaxFreqMHz;
}

void ReadCalFile() {
  auto& c = state.cal;
  auto& status = state.frame.StatusCode;
  status = 0;
  switch (platform::ReadRegularFile(c.CalFilePath, kMaxFileBytes, &file_bytes)) {
    case platform::FileRead::kOk:
      break;
    case platform::FileRead::kTooLarge:
      // Longer than any calibration file can be: refused unread, the calibration stays in use.
      status = ZEL_ERR_CAL_TOO_LARGE;
      return;
    case platform::FileRead::kCannotOpen:
    case platform::FileRead::kReadError:
      status = ZEL_ERR_CAL_OPEN;
      c.CalLoaded = 0;
      InteractiveNotice(" No Cal file",
                        "Cal file was not found.\r\n\r\nPlease load another cal file.");
      InteractiveNotice("Cal Data",
                        "The calibration data file was not found in the folder with the exe "
                        "file.\rPlease run the calibration procedure before doing any tests.");
      return;
  }
  char* const text = file_bytes.data.get();
  text[file_bytes.size] = '\n';  // the sentinel behind the last byte
  LineCursor cursor{text, text + file_bytes.size};

  const auto& s = state.synth;
  Staged f{};
  f.MinFreqMHz = s.MinFreqMHz;
  f.MaxFreqMHz = s.MaxFreqMHz;
  f.NumCalPoints = RoundToInt(s.MaxFreqMHz + kExtraRecords);
  const Outcome outcome = ParseFile(cursor, f, RoundToInt(s.MaxFreqMHz));
  status = outcome.status;
  if (outcome.status == 0) {
    Apply(f);
  } else if (outcome.clears_loaded) {
    c.CalLoaded = 0;
  }
}

}  // namespace zel
