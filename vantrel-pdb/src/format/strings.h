// PDB strings: the self-describing text values inside rows.
//
//   short ASCII  K odd          K, then (K >> 1) - 1 text bytes
//   long ASCII   K = 0x40       K, u16 total length T, pad, T - 4 text bytes
//   UTF-16       K = 0x90       as long ASCII, the text as UTF-16LE units
#ifndef VANTREL_PDB_FORMAT_STRINGS_H_
#define VANTREL_PDB_FORMAT_STRINGS_H_

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "format/coding.h"
#include "vantrel_pdb/error.h"

namespace vantrel_pdb {

inline constexpr std::uint8_t kLongAsciiKind = 0x40;
inline constexpr std::uint8_t kUtf16Kind = 0x90;
inline constexpr std::size_t kLongStringHeaderSize = 4;
inline constexpr std::size_t kMaxShortAsciiLength = 126;
inline constexpr std::size_t kMaxEncodedTextLength = 32763;

// Decodes the PDB string whose kind byte stands at the absolute position
// `position` of `image`. Returns valid UTF-8: invalid sequences of an ASCII
// string and unpaired surrogates of a UTF-16 string become U+FFFD (one per
// maximal invalid subsequence). Fails with UnknownString for an even kind
// byte other than 0x40 and 0x90, and with Damaged for a string that would run
// past the end of the image.
std::expected<std::string, PdbError> decode_string(Bytes image, std::uint64_t position);

// Encodes UTF-8 text as a complete PDB string. Pure ASCII of up to 126 bytes
// is stored short, longer ASCII long; any other text as UTF-16. Fails with
// StringTooLong when the text part would exceed 32,763 bytes.
std::expected<std::vector<std::uint8_t>, PdbError> encode_string(std::string_view text);

// Appends `bytes` decoded as UTF-8 to `out`, each maximal invalid
// subsequence replaced by U+FFFD.
void append_utf8_with_replacement(std::string& out, std::string_view bytes);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FORMAT_STRINGS_H_
