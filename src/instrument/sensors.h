// The RF voltage and temperature sensors.
#pragma once

namespace zel {

// Which sensors the identified model has: the RF voltage sensor on the high-power model, a
// temperature sensor on the high-power and UHF models. Read the model flags.
bool HasRFSensor();
bool HasTempSensor();

// "Z4" on the high-power model. Clears StatusCode first (on a model without the sensor it sets
// ZEL_ERR_NO_RF_SENSOR at once); writes RFVolts, StatusCode ZEL_ERR_RF_TIMEOUT.
void ReadRFVoltage();
// "Z7" (high-power) or "ZT" (UHF), smoothed into TempF. Clears StatusCode first; writes TempF,
// StatusCode (ZEL_ERR_NO_TEMP_SENSOR, ZEL_ERR_TEMP_TIMEOUT).
void ReadTemperature();

}  // namespace zel
