// How tag values and audio properties become a track's fields: the rules
// that docs/dovrel.1 and the README state, kept apart from TagLib so that
// each can be tested on its own.
#ifndef DOVREL_SCAN_TAG_MAPPING_H_
#define DOVREL_SCAN_TAG_MAPPING_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel::scan {

// Longest texts a scanned track carries, in bytes of UTF-8; longer tag
// values are cut at a character boundary. With the longest audio path they
// keep every track row within one database page.
inline constexpr std::size_t kMaxTitleBytes = 256;
inline constexpr std::size_t kMaxCommentBytes = 256;
// Artist, album, genre, key and label each sit in a row of their own.
inline constexpr std::size_t kMaxNameBytes = 256;
// The longest "audioPath"; a file whose path is longer is skipped.
inline constexpr std::size_t kMaxAudioPathBytes = 1024;

// Stars (0 to 5) of an ID3v2 popularimeter rating byte (0 to 255):
// 0 -> 0, 1-63 -> 1, 64-127 -> 2, 128-195 -> 3, 196-254 -> 4, 255 -> 5.
std::uint8_t stars_from_popularimeter(unsigned rating);

// Stars of a rating written as text (Vorbis comment RATING, MP4 "rate",
// ID3v2 TXXX RATING): a number from 0 to 5 is stars (rounded to the nearest,
// halves up), a number above 5 up to 100 is a percentage (1-20 -> 1, 21-40
// -> 2, ..., 81-100 -> 5); anything else, or no number, is 0.
std::uint8_t stars_from_rating_text(std::string_view text);

// Beats per minute of a BPM tag: the decimal number at its start (leading
// spaces allowed, "." or "," as the decimal mark: "128", "126.5", "90,25");
// 0 for text without one, a negative number, or one of 100,000 or more.
double bpm_from_text(std::string_view text);

// Whole seconds of a length in milliseconds, rounded to the nearest (halves
// up), at most 65,535 (the field's width).
std::uint16_t duration_seconds(long long milliseconds);

// `value` limited to 0 ... 2^32 - 1.
std::uint32_t clamp_u32(long long value);

// The title of a file without a title tag: its name without the extension
// (the text after the last "."), as valid UTF-8.
std::string title_from_file_name(std::string_view file_name);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_TAG_MAPPING_H_
