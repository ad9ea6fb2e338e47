// The RF relay and output switching.
#pragma once

namespace zel {

// Relay and output code 0, 1 or 3 in its two "K" forms, with the high-power RF voltage guard.
// Clears StatusCode first, then leaves 0, the RF voltage reading's failure, or
// ZEL_ERR_RF_OVERVOLTAGE. Reads ConstantFreqActive, RelayControl, PowerModel, RFVolts, AvgCount;
// writes RelayState, PrevRelayCode, LastMultCode, RFVolts; sends the averaging command again.
void ProgramRelay(int code);

}  // namespace zel
