#include "display_width.h"

#include <gtest/gtest.h>

#include <string>

namespace dovrel {
namespace {

struct WidthCase {
  std::string text;
  std::size_t width;
};

class DisplayWidth : public ::testing::TestWithParam<WidthCase> {};

TEST_P(DisplayWidth, CountsColumns) { EXPECT_EQ(display_width(GetParam().text), GetParam().width); }

INSTANTIATE_TEST_SUITE_P(Table, DisplayWidth,
                         ::testing::Values(WidthCase{"", 0}, WidthCase{"House", 5}, WidthCase{"caf\xC3\xA9", 4},
                                           // e + combining acute, o + combining diaeresis: marks take no column.
                                           WidthCase{"Cafe\xCC\x81 Mo\xCC\x88", 7},
                                           // Ideographs, kana, Hangul and fullwidth letters take two.
                                           WidthCase{"\xE6\x9D\xB1\xE4\xBA\xAC", 4},
                                           WidthCase{"\xE3\x83\x8A\xE3\x82\xA4", 4},
                                           WidthCase{"\xED\x95\x9C\xEA\xB5\xAD", 4}, WidthCase{"\xEF\xBC\xA1", 2},
                                           // A zero-width space, a variation selector, an emoji.
                                           WidthCase{"a\xE2\x80\x8B"
                                                     "b\xEF\xB8\x8F",
                                                     2},
                                           WidthCase{"\xF0\x9F\x8E\xB5", 2},
                                           // Invalid bytes are one column each; a control character is shown as one.
                                           WidthCase{"\xFF\xC3", 2}, WidthCase{"\xE6\x9D", 2},
                                           WidthCase{"a\x1B[0m", 5}));

struct FitCase {
  std::string text;
  std::size_t columns;
  std::string fit;
};

class FitWidth : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitWidth, CutsOnCharacterBoundaries) {
  const FitCase& c = GetParam();
  const std::string fit = fit_width(c.text, c.columns);
  EXPECT_EQ(fit, c.fit);
  EXPECT_LE(display_width(fit), c.columns);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FitWidth,
    ::testing::Values(FitCase{"Warm-up", 7, "Warm-up"}, FitCase{"Warm-up", 6, "Warm-\xE2\x80\xA6"},
                      FitCase{"Warm-up", 1, "\xE2\x80\xA6"}, FitCase{"Warm-up", 0, ""},
                      // A wide character that would straddle the edge goes whole.
                      FitCase{"\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE", 4, "\xE6\x9D\xB1\xE2\x80\xA6"},
                      FitCase{"\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE", 5, "\xE6\x9D\xB1\xE4\xBA\xAC\xE2\x80\xA6"},
                      // A mark stays with its base, kept or cut.
                      FitCase{"Cafe\xCC\x81s", 5, "Cafe\xCC\x81s"},
                      FitCase{"Cafe\xCC\x81s!", 5, "Cafe\xCC\x81\xE2\x80\xA6"},
                      FitCase{"Cafe\xCC\x81s!", 4, "Caf\xE2\x80\xA6"},
                      // Controls never reach the terminal; invalid bytes become U+FFFD.
                      FitCase{"a\x1B[31mb\n", 20, "a?[31mb?"},
                      FitCase{"\xFF"
                              "a",
                              5,
                              "\xEF\xBF\xBD"
                              "a"}));

TEST(PadToWidth, PadsByColumnsNotBytes) {
  EXPECT_EQ(pad_to_width("\xE6\x9D\xB1", 4), "\xE6\x9D\xB1  ");
  EXPECT_EQ(pad_to_width("5:01", 7, true), "   5:01");
  EXPECT_EQ(pad_to_width("toolong", 3), "toolong");
}

}  // namespace
}  // namespace dovrel
