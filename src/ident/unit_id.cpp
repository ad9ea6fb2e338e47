// The unit identification from the reply to "V".
//
// Most units report their serial number ("sn=123456"). Older ones without it and without flash
// get a number made from the firmware build time in the line, "jan 10 2005 14:32:10": digits
// around the first ":" are scrambled into "822047392", of which a host sees the last six. The
// calibration files of those units also accept a checksum-like number over the whole line.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ident/identify.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

constexpr int kSerialDigits = 8;

// Whole value of the characters at a 1-based position (below 1 counts as 1; past the end, 0).
std::int64_t FieldValue(std::string_view text, int pos, int count) {
  return RoundToInt(TextToNumber(TextMid(text, pos, count)));
}

std::string Digits(std::int64_t v) {
  return std::to_string(v < 0 ? -v : v);
}

// Sum of the character codes, the i-th weighted by 1 + 50 * (i mod 16), divided by 5.
std::int64_t LineNumber(std::string_view text) {
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::int64_t i = static_cast<std::int64_t>(k) + 1;
    sum += (1 + 50 * (i % 16)) * static_cast<unsigned char>(text[k]);
  }
  sum /= 5;
  return sum < 0 ? -sum : sum;
}

}  // namespace

void ParseUnitId() {
  auto& id = state.ident;
  const std::string_view text = id.ControllerText;
  const int sn = TextFind(text, "sn=");
  if (sn) {
    const double serial = TextToNumber(TextMid(text, sn + 3, kSerialDigits));
    SetText(id.UnitIdText, NumberText(RoundToInt(serial), 0));
    SetText(id.UnitIdAltText, id.UnitIdText);
    return;
  }
  SetText(id.UnitIdAltText, NumberText(static_cast<double>(LineNumber(text)), 0));
  // The build time "hh:mm:ss" and the date before it, around the first colon.
  const int p = TextFind(text, ":");
  const std::int64_t a = 17 * FieldValue(text, p - 5, 2) - 3;
  const std::int64_t b = 2 * FieldValue(text, p - 10, 2);
  const std::int64_t c = 3 * FieldValue(text, p - 2, 2) + 5;
  const std::int64_t d = FieldValue(text, p + 1, 2) + 7;
  const std::int64_t e = FieldValue(text, p + 4, 1) + 1;
  SetText(id.UnitIdText, Digits(a) + Digits(b) + Digits(c) + Digits(d) + Digits(e));
}

std::int32_t UnitSerialNumber() {
  std::string_view id = state.ident.UnitIdText;
  if (id.size() > 6) id = id.substr(id.size() - 6);
  return RoundToInt(TextToNumber(id));
}

}  // namespace zel
