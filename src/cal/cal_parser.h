#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cal/cal_line_reader.h"
#include "cal/scan_limits.h"
#include "state/state.h"

namespace zel {

// What a calibration file says, held until every line of it has been read and checked. Texts
// point into the file's bytes. The Has* flags say which optional items the file carried.
struct CalFileContents {
  double MinFreqMHz;  // "min5k", and the high-power model's range of a custom load
  double MaxFreqMHz;
  double Rcal;
  bool HasComment;
  std::string_view CalComment;
  std::int32_t NumCalPoints;
  std::int32_t CustomCal;
  double CustStartMHz;
  double CustEndMHz;
  double CustStepMHz;
  bool HasScanWindow;  // a custom file: the normalised scan window
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
  int Records;  // records per block in CalRecords; 0: the file takes no tables
};

// The records of the three blocks, as the file has them.
struct CalRecords {
  double ShortRe[kCalTableSize];
  double ShortIm[kCalTableSize];
  double OpenRe[kCalTableSize];
  double OpenIm[kCalTableSize];
  double LoadRe[kCalTableSize];
  double LoadIm[kCalTableSize];
};

// How reading a file ends: its status code, and whether the calibration in use stops being in use.
struct CalVerdict {
  std::int32_t status;
  bool clears_loaded;
};

// Reads and checks a whole file into contents and records, showing the notices of the checks as
// it meets them; writes no state. contents arrives with MinFreqMHz, MaxFreqMHz and NumCalPoints
// of the state. Reads UhfModel, PowerModel, UnitIdText, UnitIdAltText, NominalMaxFreqMHz,
// StandardModel, CalFilePath, the scan window, MaxScanPoints and InExportCall.
CalVerdict ParseCalFile(CalLineReader& reader, CalFileContents& contents, CalRecords& records);

// The interactive engine's notices of a calibration load, shown only when InExportCall is 0
// (inside an exported call the status code is the report).
void InteractiveNotice(const char* title, const std::string& text);

// The two values of one record line: label, first value, second value (blank-separated). False
// when either value is not a number (the line is damaged); the values are those of the
// text-to-number rule either way.
bool ParseCalRecord(std::string_view line, double* first, double* second);

}  // namespace zel
