// Stub until the measurement chain lands.
#include "measure/raw_impedance.h"

namespace zel {
void CalcMagPhase() {}
void CalcRawImped() {}
}  // namespace zel
