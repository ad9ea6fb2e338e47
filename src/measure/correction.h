#pragma once

namespace zel {

// CorR, CorX from Rs, Xs and the calibration tables at TestFreqMHz. May run ProgramRelay(0) and
// set StatusCode 34514, clear ScanRunning (custom table left).
void ApplyCor();

}  // namespace zel
