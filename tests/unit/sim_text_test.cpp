// The text helpers the simulator and the zel host share.

#include <gtest/gtest.h>

#include <string>

#include "text.h"

namespace {

TEST(SharedText, LeadingNumberReadsOnlyTheNumberAtTheStart) {
  struct Case {
    std::string text;
    double expected;
  } cases[] = {
      {"50.00000 dfr", 50},
      {" \t12.5x", 12.5},
      {"-3.25", -3.25},
      {"00012345", 12345},
      {"5.", 5},
      {".5", 0.5},
      {"-.5", -0.5},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {".", 0},
      {"+7", 0},
      {"1e3", 1},
      {"7 8", 7},
      {"3-4", 3},
      {"1.2.3", 1.2},
      {std::string(400, '9'), 0},  // beyond a double: no number
  };
  for (const auto& c : cases)
    EXPECT_EQ(zeltext::LeadingNumber(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(zeltext::LeadingNumber("0.3"), 0.3);  // correctly rounded, as the literal
}

TEST(SharedText, LowerChangesOnlyAsciiCapitals) {
  EXPECT_EQ(zeltext::Lower("ZELkqc Ver 5.12 SN=00012345?"), "zelkqc ver 5.12 sn=00012345?");
  EXPECT_EQ(zeltext::Lower("\xC4\x80@[`{"), "\xC4\x80@[`{");
}

}  // namespace
