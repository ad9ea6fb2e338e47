// Small text helpers shared by the simulator and the zel host (header only, no library code), so
// that both read a number out of an identification field the same way the instrument's texts are
// meant to be read.
#pragma once

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace zeltext {

// ASCII lower case; bytes outside A-Z are left as they are.
inline std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return s;
}

// The number at the start of a field: blanks and tabs skipped, an optional "-", digits, an
// optional "." and digits; the first other character ends it. No "+", no exponent. No digits, or
// a number too large for a double, gives 0.
inline double LeadingNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  std::string span;
  if (i < s.size() && s[i] == '-') span += s[i++];
  std::size_t digits = 0;
  std::string whole, fraction;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') whole += s[i++], ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') fraction += s[i++], ++digits;
  }
  if (digits == 0) return 0;
  // "5." and ".5" written out in full, so the parser sees the one form it always takes.
  span += whole.empty() ? "0" : whole;
  if (!fraction.empty()) span += "." + fraction;
  double v = 0;
  auto [end, ec] =
      std::from_chars(span.data(), span.data() + span.size(), v, std::chars_format::fixed);
  (void)end;
  if (ec != std::errc() || !std::isfinite(v)) return 0;
  return v;
}

}  // namespace zeltext
