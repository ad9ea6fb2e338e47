// Stub until the measurement chain lands.
#include "ident/identify.h"

#include "state/state.h"

namespace zel {
void IdentifyController() {
  state.frame.StatusCode = 121;
}
void ApplyModelParameters() {}
void ParseUnitId() {}
void ReadFlashId() {}
void ReadFlashWords(int, int) {}
void WriteFlashWords(int, int, const std::int32_t*) {}
}  // namespace zel
