// JsonWriter: compact JSON written straight into one growing string.
//
// The writer places commas and colons; the caller supplies the structure and,
// for objects, the key order (the report writes keys in ascending byte order).
// Strings are escaped only as JSON requires: '"', '\\' and the control
// characters below 0x20; '/', DEL and every non-ASCII byte pass unchanged, so
// valid UTF-8 in gives valid UTF-8 out.
#ifndef DOVREL_JSON_WRITER_H_
#define DOVREL_JSON_WRITER_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vantrel_pdb/bytes.h"

namespace dovrel {

// Appends `text` to `out` with JSON string escapes, without surrounding
// quotes: \" \\ \b \f \n \r \t, other control characters as \u00xx in
// lowercase hex.
void append_json_escaped(std::string& out, std::string_view text);

// Appends the shortest decimal that reads back as the same double, in fixed
// notation (never an exponent) and always with a fractional part: 120.0,
// 128.5, 123.45. A NaN or an infinity, which JSON cannot express, is written
// as null.
void append_json_double(std::string& out, double value);

// Appends what append_json_double(out, hundredths / 100.0) appends, without
// the floating-point conversion: the exact decimal with its trailing zeros
// cut, one fractional digit kept (12000 -> 120.0, 12850 -> 128.5, 5 ->
// 0.05). The two agree for every u32: the quotient is correctly rounded and
// doubles below 2^32 / 100 are far closer together than 0.01, so the exact
// decimal is the one shortest form that reads back as it.
void append_json_hundredths(std::string& out, std::uint32_t hundredths);

// The raw forms of the writers above, for a caller that writes a whole
// record into room it made once: each writes at `p` and returns the end of
// what it wrote.
// A JSON string of `text`, quotes and escapes as append_json_escaped;
// requires room for json_string_bound(text.size()) bytes.
char* put_json_string(char* p, std::string_view text);
inline constexpr std::size_t json_string_bound(std::size_t size) { return 2 + 6 * size; }
// What append_json_hundredths appends; requires room for 12 bytes.
char* put_json_hundredths(char* p, std::uint32_t hundredths);
inline constexpr std::size_t kJsonHundredthsBound = 12;
// A u64 in decimal; requires room for 20 bytes.
inline char* put_json_uint(char* p, std::uint64_t value) { return std::to_chars(p, p + 20, value).ptr; }
inline constexpr std::size_t kJsonUintBound = 20;
// `text` as it is.
inline char* put_raw(char* p, std::string_view text) {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

class JsonWriter {
 public:
  JsonWriter() = default;

  // Reserves room for `bytes` more bytes of output.
  void reserve(std::size_t bytes) {
    out_.reserve(out_.size() + bytes);
    vantrel_pdb::advise_huge_pages(out_.data() + out_.size(), out_.capacity() - out_.size());
  }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // Writes an object key; the next call writes its value. Requires: inside
  // an object, where a key is due, and a name that needs no escaping (keys
  // are the program's own words, never data). Inline, like the value
  // writers below: the report calls them a few million times, with names
  // whose length the compiler then knows.
  void key(std::string_view name) {
    // Comma, quotes, name and colon in one step.
    const bool comma = need_comma_;
    const std::size_t at = out_.size();
    const std::size_t size = at + comma + name.size() + 3;
    // The lambda returns `size`, never its second argument: libstdc++ 12
    // passes the grown capacity there when the string has to grow.
    out_.resize_and_overwrite(size, [&](char* p, std::size_t) {
      p += at;
      if (comma) *p++ = ',';
      *p++ = '"';
      std::memcpy(p, name.data(), name.size());
      p += name.size();
      *p++ = '"';
      *p = ':';
      return size;
    });
    need_comma_ = false;
  }

  void string_value(std::string_view text);
  void uint_value(std::uint64_t value) {
    char buffer[24];
    char* start = buffer;
    if (need_comma_) *start++ = ',';
    auto result = std::to_chars(start, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    need_comma_ = true;
  }
  void bool_value(bool value) {
    separate();
    out_.append(value ? "true" : "false");
    need_comma_ = true;
  }
  void double_value(double value);
  // The value hundredths / 100, as append_json_hundredths writes it.
  void hundredths_value(std::uint32_t hundredths) {
    separate();
    append_json_hundredths(out_, hundredths);
    need_comma_ = true;
  }

  // Writes a field copied from another document: its key as written there
  // (escapes kept, without the quotes) and its value's JSON text.
  void raw_field(std::string_view raw_key, std::string_view json_value) {
    separate();
    out_.push_back('"');
    out_.append(raw_key);
    out_.append("\":");
    out_.append(json_value);
    need_comma_ = true;
  }

  // Appends raw text after the document (the report's closing line feed).
  void raw(std::string_view text) { out_.append(text); }

  // Writes a value of at most `bound` bytes in one step: `write(p)` puts it
  // at p and returns its end. The comma before it, when one is due, comes
  // first.
  template <class Write>
  void value_of_at_most(std::size_t bound, Write&& write) {
    const bool comma = need_comma_;
    const std::size_t at = out_.size();
    out_.resize_and_overwrite(at + comma + bound, [&](char* p, std::size_t) {  // returns the end, as key() does
      char* q = p + at;
      if (comma) *q++ = ',';
      return static_cast<std::size_t>(write(q) - p);
    });
    need_comma_ = true;
  }

  // Empties the writer for a new document, keeping its memory.
  void clear() {
    out_.clear();
    need_comma_ = false;
  }

  const std::string& str() const { return out_; }
  std::string take() && { return std::move(out_); }

 private:
  // A value (or key) that follows a sibling needs a comma; the first one
  // after an opening bracket and a value after its key do not.
  void separate() {
    if (need_comma_) out_.push_back(',');
  }
  void open(char bracket) {
    separate();
    out_.push_back(bracket);
    need_comma_ = false;
  }
  void close(char bracket) {
    out_.push_back(bracket);
    need_comma_ = true;
  }

  std::string out_;
  bool need_comma_ = false;
};

}  // namespace dovrel

#endif  // DOVREL_JSON_WRITER_H_
