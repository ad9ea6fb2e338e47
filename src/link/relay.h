#pragma once

namespace zel {

// Relay and output code 0, 1 or 3 in its two "K" forms, with the high-power RF voltage guard.
// Reads ConstantFreqActive, RelayControl, PowerModel, RFVolts, AvgCount; writes RelayState,
// PrevRelayCode, LastMultCode, RFVolts, StatusCode (0 or ZEL_ERR_RF_OVERVOLTAGE).
void ProgramRelay(int code);

}  // namespace zel
