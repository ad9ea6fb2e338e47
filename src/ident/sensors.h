#pragma once

namespace zel {

// "Z4" on the high-power model. Writes RFVolts, StatusCode (34517, 34518).
void ReadRFVoltage();
// "Z7" (high-power) or "ZT" (UHF), smoothed into TempF. Writes TempF, StatusCode (34515, 34516).
void ReadTemperature();

}  // namespace zel
