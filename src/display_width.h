// The columns UTF-8 text takes on a terminal, and cutting it to a width:
// East Asian wide and fullwidth characters take two columns, combining marks
// and zero-width characters none, every other character one. Text is cut on
// character boundaries only, a base character with the marks that follow it,
// so that no UTF-8 sequence and no wide character is ever split.
#ifndef DOVREL_DISPLAY_WIDTH_H_
#define DOVREL_DISPLAY_WIDTH_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace dovrel {

// Columns of one code point: 0, 1 or 2.
std::size_t code_point_width(char32_t c);

// Decodes the character at `text[at]` (requires at < text.size()): sets `c`
// and returns its length in bytes. A byte that starts no valid sequence is
// one character of its own, U+FFFD.
std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& c);

// Columns of the whole text.
std::size_t display_width(std::string_view text);

// The text fit for one cell of a terminal: control characters (which would
// move the cursor or start an escape sequence) shown as "?", and, when it
// takes more than `columns` columns, cut to its longest prefix that leaves
// room for a final "…" within them.
std::string fit_width(std::string_view text, std::size_t columns);

// `text` (already fit) followed by spaces up to `columns` columns, or
// preceded by them when `right` is set.
std::string pad_to_width(std::string_view text, std::size_t columns, bool right = false);

}  // namespace dovrel

#endif  // DOVREL_DISPLAY_WIDTH_H_
