// Stub until the measurement chain lands.
#include "synth/dds.h"

#include "link/exchange.h"

namespace zel {
void ProgramDds() {
  ReadRecord(0);
}
void SelectMults() {}
void SelectGain() {}
void BuildMultTable() {}
void ExpandMultTable() {}
void SetDdsLevel(double) {}
}  // namespace zel
