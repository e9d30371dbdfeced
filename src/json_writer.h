// JsonWriter: compact JSON written straight into one growing string.
//
// The writer places commas and colons; the caller supplies the structure and,
// for objects, the key order (the report writes keys in ascending byte order).
// Strings are escaped only as JSON requires: '"', '\\' and the control
// characters below 0x20; '/', DEL and every non-ASCII byte pass unchanged, so
// valid UTF-8 in gives valid UTF-8 out.
#ifndef DOVREL_JSON_WRITER_H_
#define DOVREL_JSON_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

class JsonWriter {
 public:
  JsonWriter() = default;

  // Reserves room for `bytes` more bytes of output.
  void reserve(std::size_t bytes) { out_.reserve(out_.size() + bytes); }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // Writes an object key; the next call writes its value. Requires: inside
  // an object, where a key is due, and a name that needs no escaping (keys
  // are the program's own words, never data).
  void key(std::string_view name);

  void string_value(std::string_view text);
  void uint_value(std::uint64_t value);
  void bool_value(bool value);
  void double_value(double value);

  // Appends raw text after the document (the report's closing line feed).
  void raw(std::string_view text) { out_.append(text); }

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
