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
// The reader never tests for the end of the file: past it every line reads as empty, so a cut
// file gives records of 0. Every check runs before a table is touched, and the records are read
// into a scratch area first, so a refused file leaves the calibration in use as it was.

#include "cal/cal_loader.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ZEL_863_DLL.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"
#include "synth/dds.h"

namespace zel {

namespace {

// The reader keeps up to 255 characters of a line, as the interactive reader's buffer does; the
// rest of a longer line is passed over up to its line end.
constexpr std::size_t kMaxLineChars = kTextSize - 1;
// Bytes read from the file at a time: a 30,000-point custom file (about 3 MB) takes three reads.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

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

// The high-power model's range for the scan window rules.
constexpr double kPowerMinFreqMHz = 0.01;
constexpr double kPowerMaxFreqMHz = 170;

constexpr std::int32_t kStatusUhfManySegments = ZEL_ERR_UHF_MANY_SEGMENTS;
constexpr std::int32_t kStatusUhfFewSegments = ZEL_ERR_UHF_FEW_SEGMENTS;

struct LineReader {
  std::FILE* file;
  char* buf;  // a chunk and one byte for the sentinel behind it
  std::size_t pos;
  std::size_t end;
  bool at_end;
  bool failed;  // a read error, as opposed to the end of the file
  std::string line;
};

bool FillReader(LineReader& r) {
  if (r.pos < r.end) return true;
  if (r.at_end) return false;
  r.pos = 0;
  r.end = std::fread(r.buf, 1, kReadChunk, r.file);
  if (r.end == 0) {
    r.at_end = true;
    if (std::ferror(r.file)) r.failed = true;
    return false;
  }
  r.buf[r.end] = '\n';  // a sentinel, so that the line scan needs no bounds test
  return true;
}

// The next line without its line end, cut to 255 characters; empty past the end of the file.
// The text stays valid until the next read. A line that lies whole in the buffer is handed out
// where it lies; one that runs across a refill is gathered in r.line.
std::string_view ReadLine(LineReader& r) {
  r.line.clear();
  bool gathered = false;
  while (FillReader(r)) {
    const char* begin = r.buf + r.pos;
    const char* stop = r.buf + r.end;
    const char* p = begin;
    // Both line ends lie below 14: one comparison passes over every other character.
    while (static_cast<unsigned char>(*p) > '\r' || (*p != '\r' && *p != '\n')) ++p;
    const std::size_t take = static_cast<std::size_t>(p - begin);
    if (p == stop) {
      const std::size_t room = kMaxLineChars - r.line.size();
      r.line.append(begin, take < room ? take : room);
      r.pos = r.end;
      gathered = true;
      continue;
    }
    std::string_view out(begin, take < kMaxLineChars ? take : kMaxLineChars);
    if (gathered) {
      const std::size_t room = kMaxLineChars - r.line.size();
      r.line.append(begin, take < room ? take : room);
      out = r.line;
    }
    r.pos += take + 1;
    if (*p == '\r') {
      if (r.pos == r.end && !gathered) {
        // The LF of a CR LF may come with the next refill, which overwrites the buffer.
        r.line.assign(out);
        out = r.line;
      }
      if (FillReader(r) && r.buf[r.pos] == '\n') ++r.pos;
    }
    return out;
  }
  return r.line;
}

// The records of one load, held until every line has been read.
struct CalScratch {
  double ShortRe[kCalTableSize];
  double ShortIm[kCalTableSize];
  double OpenRe[kCalTableSize];
  double OpenIm[kCalTableSize];
  double LoadRe[kCalTableSize];
  double LoadIm[kCalTableSize];
};
CalScratch scratch;
// The chunk buffer lives beside the scratch area for the same reason: one load at a time, and a
// megabyte allocated and zeroed on every load cost more than reading a short file.
char chunk[kReadChunk + 1];

// What the tables mean. A load that stops without writing the tables but leaves CalLoaded set
// puts these back, so that the tables in use are read with the grid they were loaded with.
struct CalLayout {
  std::int32_t NumCalPoints;
  std::int32_t CustomCal;
  double CustStartMHz;
  double CustEndMHz;
  double CustStepMHz;
};

CalLayout SaveLayout() {
  const auto& c = state.cal;
  return {c.NumCalPoints, c.CustomCal, c.CustStartMHz, c.CustEndMHz, c.CustStepMHz};
}

void RestoreLayout(const CalLayout& l) {
  auto& c = state.cal;
  c.NumCalPoints = l.NumCalPoints;
  c.CustomCal = l.CustomCal;
  c.CustStartMHz = l.CustStartMHz;
  c.CustEndMHz = l.CustEndMHz;
  c.CustStepMHz = l.CustStepMHz;
}

// The interactive engine's notices; inside an exported call the status code is the report.
void InteractiveNotice(const char* title, const std::string& text) {
  if (state.frame.InExportCall == 0) platform::ShowNotice(title, text.c_str(), platform::kNoticeOk);
}

void Fail(std::int32_t code) {
  state.frame.StatusCode = code;
  state.cal.CalLoaded = 0;
}

std::int32_t LineInt(std::string_view line) {
  return RoundToInt(TextToNumber(line));
}

// Read only while the count is a plain number of records that fits the tables.
bool CountFits(double records) {
  return records >= 0 && records <= static_cast<double>(kCalTableSize);
}

void ShowFreqDiagnostic(std::string_view freq_line) {
  const auto& c = state.cal;
  const auto& id = state.ident;
  std::string text(freq_line);
  text +=
      "\r\nu=" + NumberText(std::fabs(c.CalMaxFreqMHz - state.synth.MaxFreqMHz), kNoticeDecimals);
  text += " cal file error=" + NumberText(state.frame.StatusCode, kNoticeDecimals);
  text += " filename=";
  text += c.CalFilePath;
  text += " focal=" + NumberText(c.CalMaxFreqMHz, kNoticeDecimals);
  text += " maxfreq=" + NumberText(RoundToInt(id.NominalMaxFreqMHz), kNoticeDecimals);
  text += "\r\nMaximumfreq=" + NumberText(state.synth.MaxFreqMHz, kNoticeDecimals);
  text += "\r\nCheckID=" + NumberText(1, kNoticeDecimals);
  text += "\r\nZELuhf=" + NumberText(id.UhfModel, kNoticeDecimals);
  text += "  ZELkqc=" + NumberText(id.StandardModel, kNoticeDecimals);
  platform::ShowNotice(" 782317", text.c_str(), platform::kNoticeWarning);
}

void ShowSegmentNotice(std::int32_t code) {
  InteractiveNotice(" Need to cal", "This cal file is not compatible with the program. Error=" +
                                        NumberText(code, 0) + "\r\n\r\nPlease calibrate again.");
}

// One block of `count` record lines into a scratch pair.
void ReadBlock(LineReader& r, int count, double* re, double* im) {
  for (int i = 0; i < count; ++i) ParseCalRecord(ReadLine(r), &re[i], &im[i]);
}

// Everything after the file is open; n is the working point count (round(MaxFreqMHz) until a
// custom file says otherwise). Returns true when the tables were written.
bool LoadFromFile(LineReader& r, int n) {
  auto& c = state.cal;
  auto& s = state.synth;
  auto& id = state.ident;
  auto& status = state.frame.StatusCode;

  if (id.UhfModel != 0 && LineInt(ReadLine(r)) != kUhfFormatNumber) {
    status = ZEL_ERR_CAL_FORMAT;
    InteractiveNotice(" Invalid Cal File", "The format of this cal file is not compatible.");
    return false;
  }

  // The ID line. The unit's identification may stand anywhere in it, the comment included.
  std::string id_line(ReadLine(r));
  bool id_ok = true;
  if (TextFind(id_line, "ID=") > 0) {
    id_ok = TextFind(id_line, id.UnitIdText) > 0 || TextFind(id_line, id.UnitIdAltText) > 0;
  }
  if (TextFind(id_line, "min5k") > 0) s.MinFreqMHz = kMinFreqMin5kMHz;
  if (const int p = TextFind(id_line, "||"); p > 0) {
    SetText(c.CalComment, TextMid(id_line, p + 3, kTextSize));
    id_line.resize(static_cast<std::size_t>(p - 1));
  }
  if (!id_ok) {
    Fail(ZEL_ERR_CAL_WRONG_UNIT);
    InteractiveNotice(" Wrong cal file",
                      "This cal file is for a different instrument.\r\rPlease load another cal "
                      "file or recalibrate.");
    return false;
  }
  c.Rcal = TextToNumber(id_line);
  if (c.Rcal < kMinRcal) c.Rcal = kDefaultRcal;

  std::string line(ReadLine(r));
  c.CustomCal = 0;
  if (TextFind(line, "Custom Cal") > 0) {
    // A count that does not fit the tables is refused here, before it is taken for anything.
    const double count = std::nearbyint(TextToNumber(ReadLine(r)) - kExtraRecords);
    if (!CountFits(count + kExtraRecords)) {
      status = ZEL_ERR_CAL_TOO_LARGE;
      return false;
    }
    n = static_cast<int>(count);
    c.NumCalPoints = n + kExtraRecords;
    c.CustStartMHz = TextToNumber(ReadLine(r));
    c.CustEndMHz = TextToNumber(ReadLine(r));
    c.CustStepMHz = TextToNumber(ReadLine(r));
    CheckScanLimits();
    c.CustomCal = 1;
    line = ReadLine(r);
  } else if (!CountFits(static_cast<double>(n) + kExtraRecords) ||
             !CountFits(static_cast<double>(c.NumCalPoints))) {
    // The instrument's range needs more whole-MHz points than the tables hold.
    status = ZEL_ERR_CAL_TOO_LARGE;
    return false;
  }

  // Maximum frequency and temperature. The character behind "=" is the writer's blank and is
  // always passed over, whatever it is.
  if (const int p = TextFind(line, "temperature="); p > 0) {
    const double t = TextToNumber(TextMid(line, p + 13, kTextSize));
    if (t > kMaxTemperatureF || t < 0) {
      Fail(ZEL_ERR_CAL_TEMPERATURE);
      InteractiveNotice(" Cal File Error 26805",
                        "Invalid temperature reading=" + NumberText(t, kNoticeDecimals));
      return false;
    }
    c.CalTemperature = t;
    line.resize(static_cast<std::size_t>(p - 1));
  }
  c.CalMaxFreqMHz = TextToNumber(line);

  const bool freq_mismatch = std::fabs(c.CalMaxFreqMHz - s.MaxFreqMHz) > kMaxFreqToleranceMHz;
  if (freq_mismatch) {
    status = ZEL_ERR_CAL_MAXFREQ;
    ShowFreqDiagnostic(line);
    InteractiveNotice("",
                      "The cal data file is not appropriate for this particular instrument.\r"
                      "Please calibrate again.");
    n = -1;
    c.CalLoaded = 0;
  }

  if (id.UhfModel != 0) {
    int segs = LineInt(ReadLine(r));
    if (segs > kSegCount) {
      segs = kSegCount;
      status = kStatusUhfManySegments;
      ShowSegmentNotice(status);
    }
    if (segs < kMinSegments) {
      segs = kMinSegments;
      status = kStatusUhfFewSegments;
      ShowSegmentNotice(status);
    }
    for (int i = 0; i < segs; ++i) {
      const std::int32_t v = LineInt(ReadLine(r));
      const std::int32_t q = v / kSegmentRowPitch;
      s.SegStartMHz[i] = q - 5 - 11 * i;
      s.SegMults[i] = v - kSegmentRowPitch * q - (3 * i + 7);
    }
    ExpandMultTable();
    if (!freq_mismatch && status > 0) {
      status = ZEL_ERR_CAL_SEGMENTS;
      return false;
    }
    s.BandEdge1MHz = LineInt(ReadLine(r));
    s.BandEdge2MHz = LineInt(ReadLine(r));
    s.Dds1Level = TextToNumber(ReadLine(r));
    SetDdsLevel(s.Dds1Level);
  }

  if (status != 0) {
    c.CalLoaded = 0;
    return false;
  }

  const std::string_view header = ReadLine(r);
  if (const int p = TextFind(header, "date="); p > 0) {
    SetText(c.CalDate, TextMid(header, p + 5, kTextSize));
  }
  if (n <= 0) return false;

  const int records = n + kExtraRecords;
  ReadBlock(r, records, scratch.ShortRe, scratch.ShortIm);
  ReadLine(r);
  ReadBlock(r, records, scratch.OpenRe, scratch.OpenIm);
  ReadLine(r);
  ReadBlock(r, records, scratch.LoadRe, scratch.LoadIm);
  if (r.failed) {
    // The file went away under the reader: nothing of it is taken.
    Fail(ZEL_ERR_CAL_OPEN);
    return false;
  }

  // A standard table may be one entry longer than its records (a maximum frequency that ends in
  // exactly .5 rounds both ways); that entry is 0, never a value of an earlier load.
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
  return true;
}

}  // namespace

void ParseCalRecord(std::string_view line, double* first, double* second) {
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
  *first = TextToNumber(line.substr(value_start, i - value_start));
  skip_blanks();
  *second = TextToNumber(line.substr(i));
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
  double start = std::fabs(m.ScanStartMHz);
  double end = std::fabs(m.ScanEndMHz);
  double step = std::fabs(m.ScanStepMHz);
  if (state.ident.PowerModel != 0) {
    s.MinFreqMHz = kPowerMinFreqMHz;
    s.MaxFreqMHz = kPowerMaxFreqMHz;
  }
  // The smallest usable window and step; a step outside these bounds becomes a hundredth of the
  // window.
  constexpr double kMinStepMHz = 1e-7;
  constexpr double kMinSpanMHz = 0.0001;
  constexpr double kMinSpanStepMHz = 2e-6;
  int rule = 0;
  if (start < s.MinFreqMHz) start = s.MinFreqMHz, rule = 1;
  if (start > s.MaxFreqMHz) start = s.MaxFreqMHz - 1, rule = 2;
  if (end < s.MinFreqMHz) end = s.MinFreqMHz + 1, rule = 3;
  if (end > s.MaxFreqMHz) end = s.MaxFreqMHz, rule = 4;
  if (step < kMinStepMHz || step > s.MaxFreqMHz / 10) step = (end - start) * 0.01, rule = 5;
  if (end - start < kMinSpanMHz) end = start + kMinSpanMHz, step = kMinSpanStepMHz, rule = 6;
  m.ScanStartMHz = start;
  m.ScanEndMHz = end;
  m.ScanStepMHz = step;
  if (rule != 0) {
    const std::string title = " Scan Limit Error " + NumberText(rule, 0);
    platform::ShowNotice(title.c_str(),
                         "A scan limit error was found.\r\n"
                         "Be sure the proper scan limits are set and\r\n"
                         "the correct cal file and config file are loaded.",
                         platform::kNoticeTopmost);
  }

  // The window's end moves to the nearest round graph width at or above the span: a division
  // count times a 1-2-5 division width.
  static constexpr int kDivisions[] = {8, 10, 5, 12, 14, 15, 16, 18, 20};
  static constexpr double kWidths[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01,
                                       0.02,   0.05,   0.1,    0.2,   0.5,   1,     2,
                                       5,      10,     20,     50,    100};
  const double span = m.ScanEndMHz - m.ScanStartMHz - 0.000001;
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
  if (best >= 0) m.ScanEndMHz = m.ScanStartMHz + best;
  if (m.ScanEndMHz > s.MaxFreqMHz) m.ScanEndMHz = s.MaxFreqMHz;

  constexpr int kMinScanPoints = 5;
  const double window = m.ScanEndMHz - m.ScanStartMHz;
  int points = RoundToInt((window + 0.0000001) / m.ScanStepMHz + 1);
  if (points > m.MaxScanPoints - 1) {
    points = m.MaxScanPoints;
    m.ScanStepMHz = window / (m.MaxScanPoints - 1);
  }
  if (points < kMinScanPoints) m.ScanStepMHz = window / (kMinScanPoints - 1);
}

void ReadCalFile() {
  auto& c = state.cal;
  const CalLayout before = SaveLayout();
  state.frame.StatusCode = 0;
  const int n = RoundToInt(state.synth.MaxFreqMHz);
  c.NumCalPoints = RoundToInt(state.synth.MaxFreqMHz + kExtraRecords);

  std::FILE* file = std::fopen(c.CalFilePath, "rb");
  bool written = false;
  if (file == nullptr) {
    Fail(ZEL_ERR_CAL_OPEN);
    InteractiveNotice(" No Cal file",
                      "Cal file was not found.\r\n\r\nPlease load another cal file.");
    InteractiveNotice("Cal Data",
                      "The calibration data file was not found in the folder with the exe file.\r"
                      "Please run the calibration procedure before doing any tests.");
  } else {
    LineReader reader{file, chunk, 0, 0, false, false, {}};
    // A path that opens but cannot be read (a folder) is no calibration file either.
    FillReader(reader);
    if (reader.failed) {
      Fail(ZEL_ERR_CAL_OPEN);
    } else {
      written = LoadFromFile(reader, n);
    }
    std::fclose(file);
  }
  if (!written && c.CalLoaded != 0) RestoreLayout(before);
}

}  // namespace zel
