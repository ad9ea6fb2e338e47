// The RF voltage and temperature sensors of the high-power and UHF models.
//
// Each reading is a two-byte command answered by a 12-bit converter count, high byte first:
//
//   --> 5A 34 ("Z4")   <-- 00 57   raw 87, 0.0701 V at the converter, about 2.46 V peak at the
//   input
//
// The converter runs from 3.3 V over 4096 counts.

#include "instrument/sensors.h"

#include <cmath>
#include <string>

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

constexpr double kConverterVolts = 3.3;
constexpr double kConverterCounts = 4096;
// The converter counts to 4095; anything past 4097 is a garbled reply (the two bytes carry no
// checksum), not a reading.
constexpr int kMaxRawCount = 4097;
// Below about 70 mV the detector diode does not conduct and the reading is noise.
constexpr double kRFThresholdVolts = 0.07;
// The diode's forward drop and the divider in front of the converter.
constexpr double kRFDiodeVolts = 0.052;
constexpr double kRFDividerRatio = 20.12;
// The RF voltage reply waits for the converter to average over several RF cycles; the
// temperature is read at once.
constexpr int kRFEmptyReadLimit = 5000;
constexpr int kTempEmptyReadLimit = 1000;
// What a model without a temperature sensor reports.
constexpr double kNoSensorTempF = 85.123;
// Readings within 2 degrees of the held value are sensor noise and are smoothed; a larger change
// is real and taken at once.
constexpr double kTempSmoothBandF = 2;
constexpr double kTempSmoothFactor = 0.1;

double ConverterVolts(double raw) {
  return raw * kConverterVolts / kConverterCounts;
}

double CelsiusToF(double c) {
  return (c + 40) * 1.8 - 40;
}

}  // namespace

bool HasRFSensor() {
  return state.ident.PowerModel > 0;
}

bool HasTempSensor() {
  return state.ident.UhfModel > 0 || state.ident.PowerModel > 0;
}

void ReadRFVoltage() {
  auto& id = state.ident;
  if (!HasRFSensor()) {
    id.RFVolts = 0;
    state.frame.StatusCode = ZEL_ERR_NO_RF_SENSOR;
    return;
  }
  state.frame.StatusCode = 0;
  const int raw = ReadSensorReply("Z4", kRFEmptyReadLimit);
  if (raw < 0) {
    state.frame.StatusCode = ZEL_ERR_RF_TIMEOUT;  // RFVolts keeps the last good reading
    return;
  }
  if (raw > kMaxRawCount) {
    const std::string text =
        "Comm error while reading RF voltage.\r\n\r\nCheck the comm port.\r\n\r\n   Raw RF voltage "
        "data = " +
        NumberText(raw, 0);
    platform::ShowNotice(" Comm error 3732", text.c_str(), platform::kNoticeTopmost);
    // A garbled count is no reading: reported as 0 V with success, the relay guard would switch
    // on it with RF on the input. It fails like a reply that never came.
    state.frame.StatusCode = ZEL_ERR_RF_TIMEOUT;
    return;
  }
  const double v = ConverterVolts(raw);
  id.RFVolts = v > kRFThresholdVolts ? (v + kRFDiodeVolts) * kRFDividerRatio : 0;
}

void ReadTemperature() {
  auto& id = state.ident;
  state.frame.StatusCode = 0;
  if (!HasTempSensor() || state.frame.LibraryMode == 0) {
    id.TempF = kNoSensorTempF;
    state.frame.StatusCode = ZEL_ERR_NO_TEMP_SENSOR;
    return;
  }
  const int raw = ReadSensorReply(id.PowerModel > 0 ? "Z7" : "ZT", kTempEmptyReadLimit);
  // A count past the converter's top is a garbled reply: no reading either.
  if (raw < 0 || raw > kMaxRawCount) {
    state.frame.StatusCode = ZEL_ERR_TEMP_TIMEOUT;  // TempF keeps its value
    return;
  }
  const double v = ConverterVolts(raw);
  double t = id.TempF;
  // Each sensor's offset and slope, and a fixed correction for the heat of the unit itself.
  if (id.PowerModel != 0) t = CelsiusToF((v - 0.5) / 0.01) - 7;
  if (id.UhfModel != 0) t = CelsiusToF((v - 0.986) / 0.00355) - 10;
  if (std::fabs(t - id.TempF) < kTempSmoothBandF) {
    id.TempF += (t - id.TempF) * kTempSmoothFactor;
  } else {
    id.TempF = t;
  }
}

}  // namespace zel
