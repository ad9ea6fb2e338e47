#pragma once

namespace zel {

// Loads CalFilePath: the checks, the UHF section, the three tables and the load factor.
// Writes CalLoaded, StatusCode and the calibration state.
void ReadCalFile();
// Rewrites CalLoad as the load factor from CalShort, CalOpen, CalLoad and Rcal.
void CalcLoadFactor();
// The scan window normalisation of a custom file. Writes ScanStartMHz, ScanEndMHz, ScanStepMHz.
void CheckScanLimits();

}  // namespace zel
