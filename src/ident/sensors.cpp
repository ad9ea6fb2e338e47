// Stub until the measurement chain lands.
#include "ident/sensors.h"

#include "state/state.h"

namespace zel {
void ReadRFVoltage() {
  state.ident.RFVolts = 0;
  state.frame.StatusCode = 34517;
}
void ReadTemperature() {
  state.ident.TempF = 85.123;
  state.frame.StatusCode = 34515;
}
}  // namespace zel
