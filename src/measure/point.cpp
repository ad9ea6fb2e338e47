// Stub until the measurement chain lands.
#include "measure/point.h"

#include "synth/dds.h"

namespace zel {
void MeasurePoint(int) {
  ProgramDds();
}
void DecodeDetectors() {}
}  // namespace zel
