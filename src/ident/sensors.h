#pragma once

namespace zel {

// Which sensors the identified model has: the RF voltage sensor on the high-power model, a
// temperature sensor on the high-power and UHF models. Read the model flags.
bool HasRFSensor();
bool HasTempSensor();

// "Z4" on the high-power model. Writes RFVolts, StatusCode (34517, 34518).
void ReadRFVoltage();
// "Z7" (high-power) or "ZT" (UHF), smoothed into TempF. Writes TempF, StatusCode (34515, 34516).
void ReadTemperature();

}  // namespace zel
