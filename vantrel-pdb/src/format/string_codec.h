// The PDB string codec in place: decode_string and encode_string each split
// so that the hot paths need no temporary buffer. A string is located first
// (where its text lies, and whether it decodes at all) and its text then
// decoded straight into a record's own string; encoding appends to a buffer
// that holds a whole row's strings. The split also lets a row be checked
// (does every string of it decode?) without building any text.
//
// Internal to the library.
#ifndef VANTREL_PDB_FORMAT_STRING_CODEC_H_
#define VANTREL_PDB_FORMAT_STRING_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

struct StringSpan {
  std::uint8_t kind = 0;  // the string's kind byte: odd, 0x40 or 0x90
  Bytes text;             // the encoded text, inside the image
};

// The text length of a short ASCII string (odd kind byte `kind`): none for
// kind 1, else (kind >> 1) - 1.
constexpr std::uint64_t short_string_length(std::uint8_t kind) { return kind == 1 ? 0 : (kind >> 1) - 1; }

// locate_string for every string: long ones, and every failure with its words.
std::expected<StringSpan, PdbError> locate_any_string(Bytes image, std::uint64_t position);

// Finds the PDB string whose kind byte stands at `position` of `image`.
// Fails exactly where and as decode_string fails (UnknownString, or Damaged for a
// string that runs past the end of the image); allocates nothing on success.
// Inline for the short strings (odd kind byte) that most of a row's are: a
// load checks each of its 21 strings.
inline std::expected<StringSpan, PdbError> locate_string(Bytes image, std::uint64_t position) {
  if (in_bounds(image, position, 1)) {
    const std::uint8_t k = image[position];
    if (k & 1) {
      const std::uint64_t length = short_string_length(k);
      if (in_bounds(image, position + 1, length)) return StringSpan{k, image.subspan(position + 1, length)};
    }
  }
  return locate_any_string(image, position);
}

// Appends the text of `span` to `out` as decode_string returns it: ASCII
// kinds as UTF-8 with U+FFFD for invalid sequences, UTF-16 converted.
// Requires: span came from locate_string.
void append_decoded_text(std::string& out, const StringSpan& span);

// The number of bytes append_decoded_text(out, span) appends, counted
// without decoding. Requires: span came from locate_string.
std::uint64_t decoded_text_size(const StringSpan& span);

// True when append_decoded_text puts U+FFFD in place of some of span's
// bytes: an invalid UTF-8 sequence in an ASCII kind, an unpaired surrogate
// in UTF-16. Requires: span came from locate_string.
bool text_needs_replacement(const StringSpan& span);

// Appends the bytes that encode_string(text) returns to `out`, growing it
// once. Fails with StringTooLong as encode_string does, `out` unchanged.
std::expected<void, PdbError> append_encoded_string(std::vector<std::uint8_t>& out, std::string_view text);

// The same in two steps, for a caller that writes many strings into room it
// made once. plan_encoding settles the string's kind byte and its encoded
// size (or StringTooLong); put_encoded_string then writes the bytes at `p`,
// which has room for plan.size, and returns their end. Requires: `plan`
// from plan_encoding(text).
struct EncodingPlan {
  std::uint8_t kind = 0;  // odd for a short ASCII string, else kLongAsciiKind or kUtf16Kind
  std::size_t size = 0;   // the whole string: kind byte, header and text
};
std::expected<EncodingPlan, PdbError> plan_encoding(std::string_view text);
std::uint8_t* put_encoded_string(std::uint8_t* p, std::string_view text, const EncodingPlan& plan);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_STRING_CODEC_H_
