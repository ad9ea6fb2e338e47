#pragma once

#include <string_view>

namespace zel {

// Loads CalFilePath: the checks, the UHF section, the three tables and the load factor.
// Reads MaxFreqMHz, UnitIdText, UnitIdAltText, UhfModel, PowerModel, InExportCall; writes
// CalLoaded, StatusCode, the calibration state, MinFreqMHz, the scan window and (UHF) the
// segments, MultsByMHz, the band edges and Dds1Level.
void ReadCalFile();
// The two values of one record line: label, first value, second value (blank-separated).
void ParseCalRecord(std::string_view line, double* first, double* second);
// Rewrites CalLoad as the load factor from CalShort, CalOpen, CalLoad and Rcal over
// NumCalPoints entries (never more than the tables hold).
void CalcLoadFactor();
// The scan window normalisation and recomputation of a custom file. Reads MinFreqMHz,
// MaxFreqMHz, PowerModel, MaxScanPoints; writes ScanStartMHz, ScanEndMHz, ScanStepMHz (and
// MinFreqMHz, MaxFreqMHz on the high-power model); may show the scan limit notice.
void CheckScanLimits();

}  // namespace zel
