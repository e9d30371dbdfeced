#include "json_writer.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstring>
#include <cmath>
#include <system_error>

namespace dovrel {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// JSON requires escapes only for the quote, the backslash and control
// characters; everything else, non-ASCII included, stands for itself.
bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// True when any byte of the word needs an escape. Bit tricks on eight bytes
// at once: a byte below 0x20, or a byte equal to '"' or '\\'.
bool word_needs_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  auto any_below = [](std::uint64_t x, std::uint64_t limit) { return (x - kOnes * limit) & ~x & kHighs; };
  auto any_equal = [](std::uint64_t x, std::uint64_t byte) {
    std::uint64_t y = x ^ (kOnes * byte);
    return (y - kOnes) & ~y & kHighs;
  };
  return (any_below(word, 0x20) | any_equal(word, '"') | any_equal(word, '\\')) != 0;
}

void append_escape(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\f': out.append("\\f"); return;
    case '\n': out.append("\\n"); return;
    case '\r': out.append("\\r"); return;
    case '\t': out.append("\\t"); return;
    default: break;
  }
  const char u[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
  out.append(u, sizeof u);
}

}  // namespace

void append_json_escaped(std::string& out, std::string_view text) {
  // Runs of plain bytes are copied at once, found eight bytes at a time; most
  // texts hold no escape at all.
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      if (!word_needs_escape(word)) {
        i += sizeof word;
        continue;
      }
    }
    const std::size_t end = std::min(n, i + sizeof(std::uint64_t));
    for (; i < end; ++i) {
      auto c = static_cast<unsigned char>(p[i]);
      if (!needs_escape(c)) continue;
      out.append(p + run, i - run);
      append_escape(out, c);
      run = i + 1;
    }
  }
  out.append(p + run, n - run);
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  // Fixed notation of DBL_MAX has 309 integer digits; with a sign and the
  // shortest round-trip fraction this always fits.
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) {  // cannot happen with the buffer above
    out.append("null");
    return;
  }
  std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
  out.append(digits);
  if (digits.find('.') == std::string_view::npos) out.append(".0");
}

void JsonWriter::key(std::string_view name) {
  assert(std::none_of(name.begin(), name.end(), [](char c) { return needs_escape(static_cast<unsigned char>(c)); }));
  // Comma, quotes and colon go out with the name in one append.
  constexpr std::size_t kShortKey = 32;
  if (name.size() <= kShortKey) {
    char piece[kShortKey + 4];
    std::size_t n = 0;
    if (need_comma_) piece[n++] = ',';
    piece[n++] = '"';
    std::memcpy(piece + n, name.data(), name.size());
    n += name.size();
    piece[n++] = '"';
    piece[n++] = ':';
    out_.append(piece, n);
  } else {
    separate();
    out_.push_back('"');
    out_.append(name);
    out_.append("\":");
  }
  need_comma_ = false;
}

void JsonWriter::string_value(std::string_view text) {
  separate();
  out_.push_back('"');
  append_json_escaped(out_, text);
  out_.push_back('"');
  need_comma_ = true;
}

void JsonWriter::uint_value(std::uint64_t value) {
  char buffer[24];
  char* start = buffer;
  if (need_comma_) *start++ = ',';
  auto result = std::to_chars(start, buffer + sizeof buffer, value);
  out_.append(buffer, result.ptr);
  need_comma_ = true;
}

void JsonWriter::bool_value(bool value) {
  separate();
  out_.append(value ? "true" : "false");
  need_comma_ = true;
}

void JsonWriter::double_value(double value) {
  separate();
  append_json_double(out_, value);
  need_comma_ = true;
}

}  // namespace dovrel
