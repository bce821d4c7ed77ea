#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/OptionText.h"

namespace {

struct Reading {
  const char* text;
  bool ok;
  int value;
};

TEST(OptionNumber, ReadsLikeTheIntegerConversionOfScanf) {
  const Reading cases[] = {
      {"12", 1, 12},   {"0x1A", 1, 26}, {"0X1a", 1, 26}, {"010", 1, 8}, {"12abc", 1, 12},
      {"  42", 1, 42}, {"\t7", 1, 7},   {"+5", 1, 5},    {"-1", 1, -1}, {"-0x10", 1, -16},
      {"0", 1, 0},     {"00", 1, 0},    {"0x0", 1, 0},   {"09", 1, 0},  {"0x", 1, 0},
      {"0xg", 1, 0},   {"077", 1, 63},  {"1e5", 1, 1},   {"5 6", 1, 5},
  };
  for (const Reading& r : cases) {
    int value = -999;
    EXPECT_EQ(ReadOptionNumber(r.text, &value), r.ok) << r.text;
    EXPECT_EQ(value, r.value) << r.text;
  }
}

TEST(OptionNumber, RejectsTextWithoutANumber) {
  for (const char* text : {"", "abc", "-", "+", " ", "*x", "x12", "--5", "- 5"}) {
    int value = 7;
    EXPECT_FALSE(ReadOptionNumber(text, &value)) << '"' << text << '"';
    EXPECT_EQ(value, 7) << text;
  }
}

TEST(OptionNumber, AcceptsTheWholeSigned32BitRangeAndNothingBeyond) {
  int value = 0;
  EXPECT_TRUE(ReadOptionNumber("2147483647", &value));
  EXPECT_EQ(value, INT_MAX);
  EXPECT_TRUE(ReadOptionNumber("-2147483648", &value));
  EXPECT_EQ(value, INT_MIN);
  EXPECT_TRUE(ReadOptionNumber("0x7fffffff", &value));
  EXPECT_EQ(value, INT_MAX);
  for (const char* text : {"2147483648", "-2147483649", "0x80000000", "0xFFFFFFFF", "4294967295",
                           "99999999999999999999999999", "020000000000"}) {
    EXPECT_FALSE(ReadOptionNumber(text, &value)) << text;
  }
}

TEST(UnrecognisedOption, RepeatsTheArgumentWholeAtAnyLength) {
  EXPECT_EQ(ComposeUnrecognisedOption("-x"), "Option -x not recognized.");
  std::string of56(56, 'a');
  EXPECT_EQ(ComposeUnrecognisedOption(of56.c_str()), "Option " + of56 + " not recognized.");
  std::string of5000(5000, 'b');
  EXPECT_EQ(ComposeUnrecognisedOption(of5000.c_str()), "Option " + of5000 + " not recognized.");
  EXPECT_EQ(ComposeUnrecognisedOption("%s%n%x"), "Option %s%n%x not recognized.");
}

}  // namespace
