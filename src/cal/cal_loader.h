#pragma once

#include <string_view>

namespace zel {

// Loads CalFilePath: the checks, the UHF section, the three tables and the load factor, all or
// nothing. Reads MaxFreqMHz, UnitIdText, UnitIdAltText, UhfModel, PowerModel, InExportCall;
// writes StatusCode and CalLoaded, and only for an accepted file the calibration state,
// MinFreqMHz, MaxFreqMHz (high-power model), the scan window and (UHF) the segments, MultsByMHz,
// the band edges and Dds1Level with its "M" command.
void ReadCalFile();
// The two values of one record line: label, first value, second value (blank-separated). False
// when either value is not a number (the line is damaged); the values are those of the
// text-to-number rule either way.
bool ParseCalRecord(std::string_view line, double* first, double* second);
// Rewrites CalLoad as the load factor from CalShort, CalOpen, CalLoad and Rcal over
// NumCalPoints entries (never more than the tables hold).
void CalcLoadFactor();
// The scan window normalisation and recomputation of a custom file. Reads MinFreqMHz,
// MaxFreqMHz, PowerModel, MaxScanPoints; writes ScanStartMHz, ScanEndMHz, ScanStepMHz (and
// MinFreqMHz, MaxFreqMHz on the high-power model); may show the scan limit notice.
void CheckScanLimits();

}  // namespace zel
