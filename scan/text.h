// Texts as the scan hands them on: valid UTF-8 (file names and tags may hold
// any bytes, a request may not), cut to a length the database row can hold,
// and the operating system's words for a failed call.
#ifndef DOVREL_SCAN_TEXT_H_
#define DOVREL_SCAN_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace dovrel::scan {

// True when `bytes` is valid UTF-8 (no surrogates, no overlong forms, no
// code point beyond U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as valid UTF-8: every valid sequence as it is, each maximal
// invalid subsequence replaced by one U+FFFD.
std::string valid_utf8(std::string_view bytes);

// Valid UTF-8 `text` cut to at most `max_bytes` bytes, never inside a
// character.
std::string clip_utf8(std::string text, std::size_t max_bytes);

// Latin-1 bytes as UTF-8 (each byte is the code point of the same value).
std::string latin1_to_utf8(std::string_view bytes);

// strerror's text for `error_number` followed by " (os error N)", as the
// tool shows every file error: "Permission denied (os error 13)".
std::string os_error_text(int error_number);

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_TEXT_H_
