#include "state/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "state/state.h"

namespace zel {

std::int32_t RoundToInt(double v) {
  if (std::isnan(v)) return 0;
  double r = std::nearbyint(v);
  if (r >= 2147483647.0) return 2147483647;
  if (r <= -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(r);
}

double TextToNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::size_t start = i;
  if (i < text.size() && text[i] == '-') ++i;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  // from_chars rounds the accepted span correctly; it does not take "5." or ".5" with nothing on
  // one side as it stands, so hand it a span it accepts and that means the same number.
  std::string_view span = text.substr(start, i - start);
  std::string buf;
  if (span.back() == '.' || span.find("-.") == 0 || span.front() == '.') {
    buf.assign(span);
    if (buf.back() == '.') buf.push_back('0');
    if (buf.front() == '.') buf.insert(buf.begin(), '0');
    if (buf.rfind("-.", 0) == 0) buf.insert(buf.begin() + 1, '0');
    span = buf;
  }
  double v = 0.0;
  auto [ptr, ec] =
      std::from_chars(span.data(), span.data() + span.size(), v, std::chars_format::fixed);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: infinity or zero with the sign, as strtod gives.
    std::string copy(span);
    v = std::strtod(copy.c_str(), nullptr);
  }
  return v;
}

std::string NumberText(double v, int decimals) {
  char buf[400];
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e300) {
    std::snprintf(buf, sizeof buf, " %.0f", v);
  } else {
    if (decimals < 0) decimals = 0;
    if (decimals > 30) decimals = 30;
    std::snprintf(buf, sizeof buf, " %.*f", decimals, v);
  }
  return buf;
}

int TextFind(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  std::size_t p = haystack.find(needle);
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::string_view TextMid(std::string_view text, int start, int count) {
  if (start < 1) start = 1;
  if (count <= 0 || static_cast<std::size_t>(start) > text.size()) return {};
  return text.substr(static_cast<std::size_t>(start) - 1, static_cast<std::size_t>(count));
}

std::string HexField(std::uint32_t value, int width) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 15u];
    value >>= 4;
  }
  return out;
}

void SetText(char* dst, std::string_view src) {
  std::size_t n = src.size() < kTextSize - 1 ? src.size() : kTextSize - 1;
  if (n > 0) std::memmove(dst, src.data(), n);  // an empty view may carry no pointer at all
  dst[n] = '\0';
}

}  // namespace zel
