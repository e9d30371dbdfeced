#include "display_width.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace dovrel {

namespace {

struct Range {
  char32_t first, last;
};

// Combining marks and characters of no width (format controls, variation
// selectors, Hangul medial vowels and final consonants), by block.
constexpr std::array<Range, 42> kZeroWidth{{
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948},   {0x094D, 0x094D},   {0x0951, 0x0957},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1160, 0x11FF},   {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},   {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x20D0, 0x20FF},
    {0x302A, 0x302F},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},
    {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1D185, 0x1D18B}, {0x1D1AA, 0x1D1AD},
    {0xE0001, 0xE007F}, {0xE0100, 0xE01EF},
}};

// East Asian wide and fullwidth characters: Hangul Jamo, CJK symbols and
// punctuation, kana, ideographs, Hangul syllables, fullwidth forms, and
// the emoji that terminals draw two columns wide.
constexpr std::array<Range, 33> kWide{{
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x2705, 0x2705},   {0x2728, 0x2728},   {0x274C, 0x274C},
    {0x2B50, 0x2B50},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1B000, 0x1B2FF}, {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
}};

template <std::size_t N>
bool in_ranges(const std::array<Range, N>& ranges, char32_t c) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), c, [](char32_t v, const Range& r) { return v < r.first; });
  return it != ranges.begin() && c <= std::prev(it)->last;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // "…", one column

}  // namespace

std::size_t code_point_width(char32_t c) {
  if (c < 0x300) return 1;
  if (in_ranges(kZeroWidth, c)) return 0;
  return in_ranges(kWide, c) ? 2 : 1;
}

std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  c = 0xFFFD;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, least = 0x10000;
  } else {
    return 1;
  }
  if (at + length > text.size()) return 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80) return 1;
    value = (value << 6) | (byte(at + i) & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
  c = value;
  return length;
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    char32_t c;
    at += decode_utf8(text, at, c);
    width += is_control(c) ? 1 : code_point_width(c);
  }
  return width;
}

std::string fit_width(std::string_view text, std::size_t columns) {
  const bool cut = display_width(text) > columns;
  const std::size_t room = cut ? (columns == 0 ? 0 : columns - 1) : columns;
  std::string out;
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    char32_t c;
    const std::size_t length = decode_utf8(text, at, c);
    const std::size_t w = is_control(c) ? 1 : code_point_width(c);
    // A character that does not fit ends the text, with the marks after it.
    if (width + w > room) break;
    if (is_control(c)) {
      out += '?';
    } else if (c == 0xFFFD && length == 1) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(at, length));
    }
    width += w;
    at += length;
  }
  if (cut && columns > 0) out += kEllipsis;
  return out;
}

std::string pad_to_width(std::string_view text, std::size_t columns, bool right) {
  const std::size_t width = display_width(text);
  const std::string spaces(width < columns ? columns - width : 0, ' ');
  return right ? spaces + std::string(text) : std::string(text) + spaces;
}

}  // namespace dovrel
