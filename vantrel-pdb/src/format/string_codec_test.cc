#include "format/string_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/strings.h"

namespace vantrel_pdb {
namespace {

using ByteVec = std::vector<std::uint8_t>;

ByteVec long_string(std::uint8_t kind, const ByteVec& body, std::uint16_t total = 0) {
  ByteVec out(4 + body.size(), 0);
  out[0] = kind;
  encode_fixed16(out.data() + 1, total ? total : static_cast<std::uint16_t>(body.size() + 4));
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

ByteVec short_string(const std::string& body) {
  // Sized first, then filled: GCC 12 misjudges an insert after a one-byte
  // initializer list in optimised builds.
  ByteVec out(1 + body.size());
  out[0] = static_cast<std::uint8_t>(2 * body.size() + 3);
  std::copy(body.begin(), body.end(), out.begin() + 1);
  return out;
}

// UTF-16LE bytes of `units`, then the bytes of `tail`.
ByteVec utf16(std::initializer_list<std::uint16_t> units, const ByteVec& tail = {}) {
  ByteVec out;
  for (std::uint16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

struct SpanCase {
  const char* name;
  ByteVec bytes;  // the string; the image holds 5 bytes of 0xEE before it
};

class LocatedString : public ::testing::TestWithParam<SpanCase> {};

// locate_string + append_decoded_text is decode_string, errors included,
// and decoded_text_size counts exactly what is appended.
TEST_P(LocatedString, DecodesAsDecodeString) {
  ByteVec image(5 + GetParam().bytes.size(), 0xEE);
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(), image.begin() + 5);
  auto decoded = decode_string(image, 5);
  auto span = locate_string(image, 5);
  ASSERT_EQ(span.has_value(), decoded.has_value());
  if (!decoded) {
    EXPECT_EQ(span.error().message(), decoded.error().message());
    EXPECT_EQ(span.error().value().index(), decoded.error().value().index());
    return;
  }
  std::string out = "kept";
  append_decoded_text(out, *span);
  EXPECT_EQ(out, "kept" + *decoded);
  EXPECT_EQ(decoded_text_size(*span), decoded->size());
}

INSTANTIATE_TEST_SUITE_P(
    Strings, LocatedString,
    ::testing::Values(SpanCase{"short_empty", {0x03}}, SpanCase{"kind_one_is_empty", {0x01}},
                      SpanCase{"short_ascii", short_string("House")},
                      SpanCase{"short_126", short_string(std::string(126, 'x'))},
                      SpanCase{"short_invalid_utf8", short_string("a\xC3\x28z\xF0\x9F\x8E")},
                      SpanCase{"short_valid_utf8", short_string("D\xC3\xBCsseldorf \xE6\x9D\xB1")},
                      SpanCase{"long_ascii", long_string(0x40, ByteVec(200, 'y'))},
                      SpanCase{"long_ascii_invalid", long_string(0x40, {'a', 0xFF, 0xE2, 0x82, 'b', 0xED, 0xA0, 0x80})},
                      SpanCase{"utf16_bmp", long_string(0x90, {'c', 0, 'a', 0, 0xE9, 0, 0x71, 0x67})},
                      SpanCase{"utf16_pair", long_string(0x90, {0x3C, 0xD8, 0xB5, 0xDF})},
                      SpanCase{"utf16_lone_low", long_string(0x90, {0x00, 0xDC, 'A', 0})},
                      SpanCase{"utf16_high_then_other", long_string(0x90, {0x00, 0xD8, 'A', 0})},
                      SpanCase{"utf16_high_at_end", long_string(0x90, {'A', 0, 0x00, 0xD8})},
                      SpanCase{"utf16_odd_length", long_string(0x90, {'A', 0, 'B'})},
                      SpanCase{"utf16_two_byte_forms", long_string(0x90, {0x80, 0x00, 0xFF, 0x07, 0x00, 0x08})},
                      SpanCase{"utf16_empty", long_string(0x90, {})}, SpanCase{"no_bytes", {}},
                      // Texts of eight units and more, which are sized eight units at a time
                      // until a surrogate: each width in one block, a pair and a lone
                      // surrogate across the blocks' edge, a surrogate only in a later block.
                      SpanCase{"utf16_blocks_of_each_width",
                               long_string(0x90, utf16({'a', 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0xD7FF, 0xE000, 'b',
                                                        0x100, 0x1000, 'c', 'd', 'e', 'f', 'g', 'h'},
                                                       {'x'}))},
                      SpanCase{"utf16_pair_across_blocks",
                               long_string(0x90, utf16({'a', 'b', 'c', 'd', 'e', 'f', 'g', 0xD83C, 0xDFB5, 'h', 'i',
                                                        'j', 'k', 'l', 'm', 'n'}))},
                      SpanCase{"utf16_lone_high_at_block_end",
                               long_string(0x90, utf16({'a', 'b', 'c', 'd', 'e', 'f', 'g', 0xD800, 'h', 0x900, 'i',
                                                        'j', 'k', 'l', 'm', 'n'}))},
                      SpanCase{"utf16_surrogate_in_second_block",
                               long_string(0x90, utf16({0xE9, 0xE9, 0xE9, 0xE9, 0x6771, 0x6771, 0x6771, 0x6771,
                                                        'a', 'b', 0xDC00, 'c', 0xDBFF, 0xDFFF, 'd', 'e', 0xD800}))},
                      SpanCase{"short_past_end", {0x09, 'a'}}, SpanCase{"long_header_cut", {0x40, 0x10}},
                      SpanCase{"long_total_below_header", long_string(0x40, {}, 3)},
                      SpanCase{"long_text_past_end", long_string(0x40, {'a'}, 40)},
                      SpanCase{"unknown_kind", long_string(0x02, {'a', 'b'})},
                      SpanCase{"unknown_kind_0x42", long_string(0x42, {})},
                      SpanCase{"unknown_kind_bad_length", long_string(0x02, {}, 2)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LocateString, PositionOutsideTheImage) {
  ByteVec image = {0x03};
  EXPECT_FALSE(locate_string(image, 1));
  EXPECT_FALSE(locate_string(image, UINT64_MAX));
  EXPECT_EQ(locate_string(image, 7).error().message(), decode_string(image, 7).error().message());
}

class EncodedString : public ::testing::TestWithParam<std::string> {};

// Appending to a buffer that already holds bytes gives those bytes followed
// by exactly what encode_string returns.
TEST_P(EncodedString, AppendsWhatEncodeStringReturns) {
  ByteVec out = {1, 2, 3};
  ASSERT_TRUE(append_encoded_string(out, GetParam()));
  ByteVec expected = {1, 2, 3};
  auto encoded = encode_string(GetParam());
  ASSERT_TRUE(encoded);
  expected.insert(expected.end(), encoded->begin(), encoded->end());
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, EncodedString,
                         ::testing::Values(std::string(""), std::string("2"), std::string(126, 'a'),
                                           std::string(127, 'b'), std::string(32763, 'c'), std::string("caf\xC3\xA9"),
                                           std::string("\xF0\x9F\x8E\xA7 mix"), std::string("bad \xC3\x28 utf8"),
                                           std::string("nul\0x", 5)));

TEST(EncodedString, TooLongLeavesTheBufferAsItWas) {
  std::string utf16_too_long;
  for (int i = 0; i < 16382; ++i) utf16_too_long += "\xC3\xA9";
  for (const std::string& text : {std::string(32764, 'x'), utf16_too_long}) {
    ByteVec out = {9, 8};
    auto ok = append_encoded_string(out, text);
    ASSERT_FALSE(ok);
    EXPECT_TRUE(ok.error().is<pdb_error::StringTooLong>());
    EXPECT_EQ(out, (ByteVec{9, 8}));
  }
}

TEST(EncodedString, ManyStringsInOneBufferStayApart) {
  ByteVec out;
  std::vector<std::size_t> starts;
  for (int i = 0; i < 1000; ++i) {
    starts.push_back(out.size());
    ASSERT_TRUE(append_encoded_string(out, i % 3 ? std::to_string(i) : "\xC3\xA9" + std::to_string(i)));
  }
  for (int i = 0; i < 1000; ++i) {
    auto text = decode_string(out, starts[static_cast<std::size_t>(i)]);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, i % 3 ? std::to_string(i) : "\xC3\xA9" + std::to_string(i));
  }
}

}  // namespace
}  // namespace vantrel_pdb
