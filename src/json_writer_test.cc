#include "json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace dovrel {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  append_json_escaped(out, text);
  return out;
}

struct EscapeCase {
  std::string input;
  std::string output;
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, EscapesOnlyWhatJsonRequires) { EXPECT_EQ(escaped(GetParam().input), GetParam().output); }

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscape,
    ::testing::Values(EscapeCase{"", ""}, EscapeCase{"plain", "plain"}, EscapeCase{"a\"b", "a\\\"b"},
                      EscapeCase{"a\\b", "a\\\\b"}, EscapeCase{"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
                      EscapeCase{std::string("\0", 1), "\\u0000"}, EscapeCase{"\x01", "\\u0001"},
                      EscapeCase{"\x0b", "\\u000b"}, EscapeCase{"\x1f", "\\u001f"}, EscapeCase{"\x1a\x1b", "\\u001a\\u001b"},
                      EscapeCase{"a/b", "a/b"}, EscapeCase{"\x7f", "\x7f"}, EscapeCase{" ~", " ~"},
                      EscapeCase{"Caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5", "Caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5"},
                      EscapeCase{"x\ny\"z\\", "x\\ny\\\"z\\\\"}));

std::string bpm(std::uint32_t hundredths) {
  std::string out;
  append_json_double(out, static_cast<double>(hundredths) / 100.0);
  return out;
}

TEST(JsonDouble, ShortestRoundTripWithFraction) {
  EXPECT_EQ(bpm(12000), "120.0");
  EXPECT_EQ(bpm(12850), "128.5");
  EXPECT_EQ(bpm(12345), "123.45");
  EXPECT_EQ(bpm(0), "0.0");
  EXPECT_EQ(bpm(1), "0.01");
  EXPECT_EQ(bpm(7), "0.07");
  EXPECT_EQ(bpm(4294967295u), "42949672.95");
}

TEST(JsonDouble, NeverAnExponent) {
  auto text = [](double v) {
    std::string out;
    append_json_double(out, v);
    return out;
  };
  EXPECT_EQ(text(1e21), "1000000000000000000000.0");
  EXPECT_EQ(text(1e-7), "0.0000001");
  EXPECT_EQ(text(-2.5), "-2.5");
  EXPECT_EQ(text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(std::stod(text(1.7976931348623157e308)), 1.7976931348623157e308);
  EXPECT_EQ(text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(text(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(JsonWriter, PlacesCommasAndColons) {
  JsonWriter w;
  w.begin_object();
  w.key("a");
  w.begin_array();
  w.end_array();
  w.key("b");
  w.begin_array();
  w.uint_value(1);
  w.begin_object();
  w.end_object();
  w.begin_array();
  w.uint_value(2);
  w.uint_value(3);
  w.end_array();
  w.bool_value(false);
  w.end_array();
  w.key("c");
  w.begin_object();
  w.key("d");
  w.string_value("e");
  w.key("f");
  w.double_value(1.5);
  w.end_object();
  w.key("g");
  w.bool_value(true);
  w.end_object();
  EXPECT_EQ(w.str(), R"({"a":[],"b":[1,{},[2,3],false],"c":{"d":"e","f":1.5},"g":true})");
}

TEST(JsonWriter, IntegersInPlainDecimal) {
  JsonWriter w;
  w.begin_array();
  w.uint_value(0);
  w.uint_value(4294967295u);
  w.uint_value(UINT64_MAX);
  w.end_array();
  EXPECT_EQ(w.str(), "[0,4294967295,18446744073709551615]");
}

TEST(JsonWriter, EscapesStringValues) {
  JsonWriter w;
  w.begin_object();
  w.key("k");
  w.string_value("v\x01/\"");
  w.key(std::string(40, 'x'));  // longer than the one-append path
  w.string_value("");
  w.end_object();
  EXPECT_EQ(w.str(), "{\"k\":\"v\\u0001/\\\"\",\"" + std::string(40, 'x') + "\":\"\"}");
}

TEST(JsonEscape, LongTextsWithEscapesAtEveryPosition) {
  // The eight-byte scan must find an escape wherever it sits in a word.
  for (std::size_t length = 1; length <= 24; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (char special : {'"', '\\', '\x1f', '\0'}) {
        std::string text(length, 'a');
        text[at] = special;
        std::string expected = std::string(at, 'a') + escaped(std::string(1, special)) + std::string(length - at - 1, 'a');
        EXPECT_EQ(escaped(text), expected) << length << " " << at;
      }
    }
  }
  // Bytes next to the special ones (0x20, '!', '#', '[', ']', 0x80, 0xff) pass.
  std::string near = " !#[]\x80\xff\x21\x23 \x5b\x5d";
  EXPECT_EQ(escaped(near), near);
}

}  // namespace
}  // namespace dovrel
