// Stub until the calibration lands.
#include "cal/cal_loader.h"

#include "state/state.h"

namespace zel {
void ReadCalFile() {
  state.frame.StatusCode = 34523;
  state.cal.CalLoaded = 0;
}
void CalcLoadFactor() {}
void CheckScanLimits() {}
}  // namespace zel
