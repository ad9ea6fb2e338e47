// The shared conversions between numbers and texts that commands, replies, calibration files and
// notices use. Each rule lives here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel {

// Nearest integer, halves to even (the default rounding mode). Values outside the int32 range and
// NaN are pinned to the nearest limit (NaN to 0) rather than left undefined.
std::int32_t RoundToInt(double v);

// Text to number: leading blanks and tabs skipped, an optional "-", digits, an optional "." and
// digits; the first other character ends the number. No "+", no exponent; no number gives 0.
double TextToNumber(std::string_view text);

// Number text: one leading blank, whole numbers without a decimal point, others in fixed notation
// with the given number of decimals.
std::string NumberText(double v, int decimals);

// Case-sensitive search: 1-based position of the first match, 0 when absent or needle empty.
int TextFind(std::string_view haystack, std::string_view needle);

// 1-based substring of at most count characters; a start below 1 counts as 1.
std::string_view TextMid(std::string_view text, int start, int count);

// Upper-case hexadecimal, padded on the left with "0" to width digits (low bits kept).
std::string HexField(std::uint32_t value, int width);

// Bounded copy into a fixed text buffer of kTextSize bytes; longer texts are cut at 255.
void SetText(char* dst, std::string_view src);

}  // namespace zel
