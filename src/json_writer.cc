#include "json_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Writes the escape of `c`, a byte that needs one, at `p`; returns its end
// (at most 6 bytes on).
char* put_escape(char* p, unsigned char c) {
  *p++ = '\\';
  switch (c) {
    case '"': *p++ = '"'; return p;
    case '\\': *p++ = '\\'; return p;
    case '\b': *p++ = 'b'; return p;
    case '\f': *p++ = 'f'; return p;
    case '\n': *p++ = 'n'; return p;
    case '\r': *p++ = 'r'; return p;
    case '\t': *p++ = 't'; return p;
    default: break;
  }
  const char u[5] = {'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
  return put_raw(p, std::string_view(u, sizeof u));
}

// True when some byte of `text` needs an escape, eight bytes at a time (16
// where SSE2 is there, as on every x86-64): the last block overlaps the one
// before it, and a text shorter than a block is padded with spaces, which
// need none.
bool any_needs_escape(std::string_view text) {
  const std::size_t n = text.size();
#if defined(__SSE2__)
  if (n >= 16) {
    // SSE2 compares bytes as signed only; a byte is below 0x20 exactly when
    // its unsigned minimum with 0x1F is the byte itself.
    const __m128i limit = _mm_set1_epi8(0x1F);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    auto block_needs_escape = [&](const char* p) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, limit), v);
      const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
      return _mm_movemask_epi8(_mm_or_si128(control, special)) != 0;
    };
    for (std::size_t i = 0; i + 16 < n; i += 16) {
      if (block_needs_escape(text.data() + i)) return true;
    }
    return block_needs_escape(text.data() + n - 16);
  }
#endif
  std::uint64_t word;
  if (n < sizeof word) {
    char padded[sizeof word];
    std::memset(padded, ' ', sizeof padded);
    if (n > 0) std::memcpy(padded, text.data(), n);
    std::memcpy(&word, padded, sizeof word);
    return word_needs_escape(word);
  }
  for (std::size_t i = 0; i + sizeof word < n; i += sizeof word) {
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word_needs_escape(word)) return true;
  }
  std::memcpy(&word, text.data() + n - sizeof word, sizeof word);
  return word_needs_escape(word);
}

// Writes `text` at `p` with JSON string escapes, without quotes; returns
// the end (at most 6 bytes a byte on). Runs of plain bytes are copied at
// once, found eight bytes at a time.
char* put_json_escaped(char* p, std::string_view text) {
  const char* in = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, in + i, sizeof word);
      if (!word_needs_escape(word)) {
        i += sizeof word;
        continue;
      }
    }
    const std::size_t end = std::min(n, i + sizeof(std::uint64_t));
    for (; i < end; ++i) {
      auto c = static_cast<unsigned char>(in[i]);
      if (!needs_escape(c)) continue;
      p = put_raw(p, text.substr(run, i - run));
      p = put_escape(p, c);
      run = i + 1;
    }
  }
  return put_raw(p, text.substr(run));
}

}  // namespace

void append_json_escaped(std::string& out, std::string_view text) {
  // Most texts hold no escape at all and are copied whole.
  if (!any_needs_escape(text)) {
    out.append(text);
    return;
  }
  const std::size_t at = out.size();
  out.resize_and_overwrite(at + 6 * text.size(), [&](char* p, std::size_t) {  // returns the end, as key() does
    return static_cast<std::size_t>(put_json_escaped(p + at, text) - p);
  });
}

char* put_json_hundredths(char* p, std::uint32_t hundredths) {
  p = std::to_chars(p, p + 8, hundredths / 100).ptr;  // at most 8 digits
  const std::uint32_t fraction = hundredths % 100;
  *p++ = '.';
  *p++ = static_cast<char>('0' + fraction / 10);
  if (fraction % 10 != 0) *p++ = static_cast<char>('0' + fraction % 10);
  return p;
}

void append_json_hundredths(std::string& out, std::uint32_t hundredths) {
  char buffer[kJsonHundredthsBound];
  out.append(buffer, put_json_hundredths(buffer, hundredths));
}

char* put_json_string(char* p, std::string_view text) {
  *p++ = '"';
  p = any_needs_escape(text) ? put_json_escaped(p, text) : put_raw(p, text);
  *p++ = '"';
  return p;
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

void JsonWriter::string_value(std::string_view text) {
  if (any_needs_escape(text)) {
    separate();
    out_.push_back('"');
    append_json_escaped(out_, text);
    out_.push_back('"');
  } else {
    // The usual case: comma, quotes and text in one step.
    const bool comma = need_comma_;
    const std::size_t at = out_.size();
    const std::size_t size = at + comma + text.size() + 2;
    out_.resize_and_overwrite(size, [&](char* p, std::size_t) {  // returns `size`, as key() does
      p += at;
      if (comma) *p++ = ',';
      *p++ = '"';
      if (!text.empty()) std::memcpy(p, text.data(), text.size());
      p[text.size()] = '"';
      return size;
    });
  }
  need_comma_ = true;
}

void JsonWriter::double_value(double value) {
  separate();
  append_json_double(out_, value);
  need_comma_ = true;
}

}  // namespace dovrel
