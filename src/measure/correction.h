#pragma once

namespace zel {

// CorR, CorX from Rs, Xs and the calibration tables at TestFreqMHz. May run ProgramRelay(0) and
// set StatusCode ZEL_ERR_CAL_RANGE, clear ScanRunning (custom table left).
void ApplyCor();

}  // namespace zel
