#include "state/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "state/state.h"

namespace {

TEST(Text, RoundingIsToNearestWithHalvesToEven) {
  struct Case {
    double v;
    int expected;
  };
  for (Case c : {Case{0.5, 0}, Case{1.5, 2}, Case{2.5, 2}, Case{-0.5, 0}, Case{-1.5, -2},
                 Case{2.4999, 2}, Case{1e12, 2147483647}, Case{-1e12, -2147483647 - 1},
                 Case{std::numeric_limits<double>::quiet_NaN(), 0},
                 Case{std::numeric_limits<double>::infinity(), 2147483647}}) {
    EXPECT_EQ(zel::RoundToInt(c.v), c.expected) << c.v;
  }
}

TEST(Text, TextToNumberStopsAtTheFirstForeignCharacter) {
  struct Case {
    const char* text;
    double expected;
  };
  for (Case c : {Case{"  \t12.5abc", 12.5}, Case{"-3", -3}, Case{"+3", 0}, Case{"1e5", 1},
                 Case{"", 0}, Case{"abc", 0}, Case{"-", 0}, Case{".", 0}, Case{"7.", 7},
                 Case{".25", 0.25}, Case{"-.5", -0.5}, Case{" 0.1", 0.1}, Case{"12 34", 12},
                 Case{"--1", 0}, Case{"1.2.3", 1.2}, Case{"123456.7890", 123456.789}}) {
    EXPECT_EQ(zel::TextToNumber(c.text), c.expected) << '"' << c.text << '"';
  }
  // The nearest double to the digits, not a digit-by-digit sum.
  EXPECT_EQ(zel::TextToNumber("0.3"), 0.3);
  EXPECT_EQ(zel::TextToNumber("100.9"), 100.9);
  EXPECT_EQ(zel::TextToNumber(std::string(400, '9')), std::numeric_limits<double>::infinity());
}

TEST(Text, NumberTextHasOneLeadingBlank) {
  EXPECT_EQ(zel::NumberText(50, 4), " 50");
  EXPECT_EQ(zel::NumberText(-5, 4), " -5");
  EXPECT_EQ(zel::NumberText(0.25, 4), " 0.2500");
  EXPECT_EQ(zel::NumberText(123456, 0), " 123456");
  EXPECT_EQ(zel::NumberText(0.0101, 15), " 0.010100000000000");
}

TEST(Text, SearchIsCaseSensitiveAndOneBased) {
  EXPECT_EQ(zel::TextFind("abc ID=5", "ID="), 5);
  EXPECT_EQ(zel::TextFind("abc id=5", "ID="), 0);
  EXPECT_EQ(zel::TextFind("abc", ""), 0);
  EXPECT_EQ(zel::TextFind("", "a"), 0);
  EXPECT_EQ(zel::TextMid("abcdef", 0, 2), "ab");
  EXPECT_EQ(zel::TextMid("abcdef", 5, 10), "ef");
  EXPECT_EQ(zel::TextMid("abcdef", 7, 1), "");
}

TEST(Text, HexFieldsAreUpperCaseAndPadded) {
  EXPECT_EQ(zel::HexField(0x51EB87, 8), "0051EB87");
  EXPECT_EQ(zel::HexField(0x43FF, 4), "43FF");
  EXPECT_EQ(zel::HexField(0x12345, 4), "2345");
}

TEST(Text, SetTextNeverOverrunsItsBuffer) {
  char buf[zel::kTextSize + 8];
  std::memset(buf, 'x', sizeof buf);
  zel::SetText(buf, std::string(1000, 'a'));
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[zel::kTextSize], 'x');
}

}  // namespace
