// Stub until the calibration lands.
#include "measure/correction.h"

#include "state/state.h"

namespace zel {
void ApplyCor() {
  state.measure.CorR = state.measure.Rs;
  state.measure.CorX = state.measure.Xs;
}
}  // namespace zel
