// What a host learns about the attached analyzer from its identification text, read the way the
// library reads it: the library keeps these values to itself, and the host needs the model's
// frequency range to check a request and its bridge source resistance to turn the raw readings
// into the bridge-arm impedances a calibration file holds.
#pragma once

#include <string>

namespace zelhost {

enum class Model { kUnknown, kLowRange, kStandard, kUhf, kHighPower };

struct UnitInfo {
  std::string text;  // the identification text as ZEL_GetVersion returned it
  Model model = Model::kUnknown;
  std::string model_name;  // "standard", ...
  std::string firmware;    // "4.72", empty when the text has no "ver"
  std::string serial;      // from " sn=", empty when the unit does not report one
  bool flash_id = false;   // the unit keeps its date code in flash instead
  double min_mhz = 0;
  double max_mhz = 0;
  double rgen_ohms = 0;  // bridge source resistance
  bool short_records = false;
  bool sync = false;
  bool rf_sensor = false;
  bool temp_sensor = false;
};

// Parses the text that ZEL_GetVersion returns (already lower case).
UnitInfo ParseUnitInfo(const std::string& text);

}  // namespace zelhost
