// Calibration file loading: the file's bytes through the platform, the parser's check of every
// line, and, for an accepted file, its settings and tables put in place.
//
// A load is a transaction. The whole file is read into memory and checked line by line into a
// staging area (cal_parser.cpp); only a file that passes every check is applied. A refused file
// changes nothing but the status code and, where the check says so, CalLoaded; its notices are
// shown as the checks meet them.

#include "cal/cal_loader.h"

#include <string>

#include "ZEL_863_DLL.h"
#include "cal/cal_format.h"
#include "cal/cal_line_reader.h"
#include "cal/cal_parser.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"
#include "synth/dds.h"
#include "synth/mult_table.h"

namespace zel {

namespace {

constexpr double kZeroLoadDistance = 1e-4;

// One load at a time: the staging tables and the file's bytes stay allocated between loads (a
// calibration is loaded again and again at one size, and 1.4 MB of tables cleared or allocated
// on every load cost more than reading a short file).
CalRecords staged;
platform::FileBytes file_bytes;

// One entry of the three standards.
struct CalEntry {
  double ShortRe, ShortIm, OpenRe, OpenIm, LoadRe, LoadIm;
};

// The load factor Rcal (O - L) / (L - S) of one entry, with |L - S|^2 taken as 1e-4 where it is 0.
inline void LoadFactor(const CalEntry& e, double rcal, double* re, double* im) {
  const double a_re = e.OpenRe - e.LoadRe;
  const double a_im = e.OpenIm - e.LoadIm;
  const double b_re = e.LoadRe - e.ShortRe;
  const double b_im = e.LoadIm - e.ShortIm;
  double d = b_re * b_re + b_im * b_im;
  if (d == 0) d = kZeroLoadDistance;
  *re = rcal * (a_re * b_re + a_im * b_im) / d;
  *im = rcal * (a_im * b_re - a_re * b_im) / d;
}

inline void LoadFactor(const CalRecords& r, int i, double rcal, double* re, double* im) {
  LoadFactor({r.ShortRe[i], r.ShortIm[i], r.OpenRe[i], r.OpenIm[i], r.LoadRe[i], r.LoadIm[i]}, rcal,
             re, im);
}

// Applies an accepted file: its settings, and its tables when it has them.
void Apply(const CalFileContents& f) {
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

  // The tables go in place in one pass, CalLoad as the load factor. A standard table may be one
  // entry longer than its records (a maximum frequency that ends in exactly .5 rounds both ways);
  // that entry is 0, never a value of an earlier load, and so is its factor. It may as well be one
  // entry shorter: the last record then stays a raw load value, as CalcLoadFactor leaves it.
  const int records = f.Records;
  const int entries = c.NumCalPoints > records ? c.NumCalPoints : records;
  const int factors = c.NumCalPoints < kCalTableSize ? c.NumCalPoints : kCalTableSize;
  for (int i = 0; i < records; ++i) {
    c.CalShortRe[i] = staged.ShortRe[i];
    c.CalShortIm[i] = staged.ShortIm[i];
    c.CalOpenRe[i] = staged.OpenRe[i];
    c.CalOpenIm[i] = staged.OpenIm[i];
    if (i < factors) {
      LoadFactor(staged, i, c.Rcal, &c.CalLoadRe[i], &c.CalLoadIm[i]);
    } else {
      c.CalLoadRe[i] = staged.LoadRe[i];
      c.CalLoadIm[i] = staged.LoadIm[i];
    }
  }
  for (int i = records; i < entries; ++i) {
    c.CalShortRe[i] = c.CalShortIm[i] = c.CalOpenRe[i] = c.CalOpenIm[i] = 0;
    c.CalLoadRe[i] = c.CalLoadIm[i] = 0;
  }
  c.CalLoaded = 1;
}

}  // namespace

void CalcLoadFactor() {
  auto& c = state.cal;
  const int entries = c.NumCalPoints < kCalTableSize ? c.NumCalPoints : kCalTableSize;
  for (int i = 0; i < entries; ++i) {
    const CalEntry e{c.CalShortRe[i], c.CalShortIm[i], c.CalOpenRe[i],
                     c.CalOpenIm[i],  c.CalLoadRe[i],  c.CalLoadIm[i]};
    LoadFactor(e, c.Rcal, &c.CalLoadRe[i], &c.CalLoadIm[i]);
  }
}

void ReadCalFile() {
  auto& c = state.cal;
  auto& status = state.frame.StatusCode;
  status = 0;
  switch (platform::ReadRegularFile(c.CalFilePath, calfmt::kMaxFileBytes, &file_bytes)) {
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
  CalLineReader reader(file_bytes.data.get(), file_bytes.size);

  const auto& s = state.synth;
  CalFileContents f{};
  f.MinFreqMHz = s.MinFreqMHz;
  f.MaxFreqMHz = s.MaxFreqMHz;
  f.NumCalPoints = RoundToInt(s.MaxFreqMHz + calfmt::kExtraRecords);
  const CalVerdict verdict = ParseCalFile(reader, f, staged);
  status = verdict.status;
  if (verdict.status == 0) {
    Apply(f);
  } else if (verdict.clears_loaded) {
    c.CalLoaded = 0;
  }
}

}  // namespace zel
