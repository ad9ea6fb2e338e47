#include "unit_info.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace zelhost {
namespace {

// One row per model, in the order the library applies them: when a text carries the tokens of
// several models, the later row wins. A min_mhz of 0 keeps the value the frequency tokens gave.
struct ModelRow {
  Model model;
  const char* name;
  double max_mhz;
  double min_mhz;
  double rgen_ohms;
};
constexpr ModelRow kModels[] = {
    {Model::kLowRange, "low-range", 32, 0.1, 100.6},
    {Model::kStandard, "standard", 180, 0, 50.2},
    {Model::kUhf, "UHF", 1000, 0.002, 51.3},
    {Model::kHighPower, "high-power", 170, 0.01, 115},
};

bool Has(const std::string& text, const char* token) {
  return text.find(token) != std::string::npos;
}

// The characters after a token, cut at the first blank or terminator.
std::string FieldAfter(const std::string& text, const char* token, std::size_t skip,
                       std::size_t count) {
  std::size_t p = text.find(token);
  if (p == std::string::npos) return {};
  std::string field = text.substr(std::min(text.size(), p + skip), count);
  std::size_t end = field.find_first_of(" ?@\r\n\t");
  if (end != std::string::npos) field.resize(end);
  return field;
}

// The number at the start of a field as the library reads numbers: an optional "-", digits, an
// optional "." and digits; no "+", no exponent; none gives 0.
double LeadingNumber(const std::string& field) {
  std::size_t n = 0;
  if (n < field.size() && field[n] == '-') ++n;
  while (n < field.size() && std::isdigit(static_cast<unsigned char>(field[n]))) ++n;
  if (n < field.size() && field[n] == '.') ++n;
  while (n < field.size() && std::isdigit(static_cast<unsigned char>(field[n]))) ++n;
  double v = std::strtod(field.substr(0, n).c_str(), nullptr);
  return std::isfinite(v) ? v : 0;
}

}  // namespace

UnitInfo ParseUnitInfo(const std::string& text) {
  UnitInfo u;
  u.text = text;
  bool flags[4] = {Has(text, "zelkq3"), Has(text, "kqc") || Has(text, "kqb") || Has(text, "kqa"),
                   Has(text, " uhf") && Has(text, "dfr="), Has(text, "powerzel")};
  // The lowest frequency: the last of the kHz tokens that matches, before the model row.
  u.min_mhz = 0.002;
  if (Has(text, " 20khz")) u.min_mhz = 0.01;
  if (Has(text, " 50khz")) u.min_mhz = 0.05;
  for (int i = 0; i < 4; ++i) {
    if (!flags[i]) continue;
    const ModelRow& row = kModels[i];
    u.model = row.model;
    u.model_name = row.name;
    u.max_mhz = row.max_mhz;
    if (row.min_mhz > 0) u.min_mhz = row.min_mhz;
    u.rgen_ohms = row.rgen_ohms;
  }
  // "ver" is followed by one separator, then the version.
  u.firmware = FieldAfter(text, "ver", 4, 8);
  u.serial = FieldAfter(text, " sn=", 4, 8);
  if (!u.serial.empty()) u.serial = std::to_string(std::lround(LeadingNumber(u.serial)));
  u.flash_id = Has(text, " flash");
  u.short_records = Has(text, "sfd ");
  u.sync = Has(text, "sync") || u.model == Model::kUhf;
  u.rf_sensor = flags[3];
  u.temp_sensor = flags[2] || flags[3];
  return u;
}

}  // namespace zelhost
