// The status code across routines that clear it.
//
// Some routines set StatusCode to 0 when they start (their headers say "Clears StatusCode"): the
// averaging command, the relay, the sensor readings, the identification and its flash requests,
// the calibration load. A routine that runs one of them in the middle of its own work, after a
// failure that its caller must still see, runs it through KeepStatusAcross. That is the one way a
// failure is carried over such a call; a failure the cleared routine sets itself still wins.
#pragma once

#include <cstdint>

#include "state/state.h"

namespace zel {

// Runs routine(); when it leaves StatusCode at 0, the code held before it is put back.
template <typename Routine>
void KeepStatusAcross(Routine&& routine) {
  const std::int32_t held = state.frame.StatusCode;
  routine();
  if (state.frame.StatusCode == 0) state.frame.StatusCode = held;
}

}  // namespace zel
