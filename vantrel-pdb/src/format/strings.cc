#include "format/strings.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/errors.h"
#include "format/string_codec.h"

namespace vantrel_pdb {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Returned by next_code_point for an invalid sequence; outside Unicode.
constexpr char32_t kInvalid = 0x110000;

// U+FFFD in UTF-8.
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Decodes one code point of UTF-8 at bytes[i]. Returns the code point (or
// kInvalid) and sets `length` to the bytes consumed: a whole valid sequence,
// or the maximal subpart of an invalid one (at least one byte).
char32_t next_code_point(std::string_view bytes, std::size_t i, std::size_t& length) {
  auto b0 = static_cast<unsigned char>(bytes[i]);
  length = 1;
  if (b0 < 0x80) return b0;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return kInvalid;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= bytes.size()) return kInvalid;
    auto b = static_cast<unsigned char>(bytes[i + k]);
    if (b < lo || b > hi) return kInvalid;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    length = k + 1;
  }
  return cp;
}

// Writes the UTF-8 form of `cp` at `p` (room for 4 bytes); returns the end.
char* put_utf8(char* p, char32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

// Appends UTF-16LE units as UTF-8, unpaired surrogates as U+FFFD. One unit
// never takes more than 3 bytes (a pair takes 4 for two units), so the text
// is written in place into room for 3 bytes per unit and then cut to size.
void append_utf16le(std::string& out, Bytes units) {
  const std::size_t count = units.size() / 2;  // an odd final byte is ignored
  const std::size_t old_size = out.size();
  out.resize_and_overwrite(old_size + 3 * count, [&](char* buffer, std::size_t) {
    char* p = buffer + old_size;
    for (std::size_t i = 0; i < count; ++i) {
#if defined(__SSE2__)
      // Runs of eight ASCII units (most of a Latin text) become their eight
      // bytes at once; the room left is three bytes a unit, so 8 fit.
      while (i + 8 <= count) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units.data() + 2 * i));
        const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(v, v));
        p += 8;
        i += 8;
      }
      if (i == count) break;
#endif
      char32_t u = decode_fixed16(units.data() + 2 * i);
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
        char32_t next = decode_fixed16(units.data() + 2 * (i + 1));
        if (next >= 0xDC00 && next <= 0xDFFF) {
          p = put_utf8(p, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
          ++i;
          continue;
        }
      }
      p = put_utf8(p, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
    }
    return static_cast<std::size_t>(p - buffer);
  });
}

// True when no byte of `bytes` has its high bit set; eight bytes at a time.
bool is_ascii(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080;
  std::size_t i = 0;
  for (; i + sizeof(std::uint64_t) <= bytes.size(); i += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if (word & kHighBits) return false;
  }
  for (; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

// The error of a read past the end; only called once the bytes are known
// to be missing, so that the checks in the hot path stay inline.
[[gnu::cold]] PdbError past_end(Bytes image, std::uint64_t pos, std::uint64_t len) {
  return require_bytes(image, pos, len).error();
}

}  // namespace

void append_utf8_with_replacement(std::string& out, std::string_view bytes) {
  // Fast path: pure ASCII is copied as it is.
  if (is_ascii(bytes)) {
    out.append(bytes);
    return;
  }
  out.reserve(out.size() + bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t length;
    char32_t cp = next_code_point(bytes, i, length);
    if (cp == kInvalid) {
      out.append(kReplacementUtf8);
    } else {
      out.append(bytes.substr(i, length));
    }
    i += length;
  }
}

std::expected<StringSpan, PdbError> locate_any_string(Bytes image, std::uint64_t position) {
  if (!in_bounds(image, position, 1)) return std::unexpected(past_end(image, position, 1));
  const std::uint8_t k = image[position];
  if (k & 1) {
    const std::uint64_t length = short_string_length(k);
    if (!in_bounds(image, position + 1, length)) return std::unexpected(past_end(image, position + 1, length));
    return StringSpan{k, image.subspan(position + 1, length)};
  }
  // Long strings: the length is settled before the kind is examined, so an
  // impossible length is a malformed string rather than an unknown kind.
  if (!in_bounds(image, position + 1, 2)) return std::unexpected(past_end(image, position + 1, 2));
  const std::uint16_t total = decode_fixed16(image.data() + position + 1);
  if (total < kLongStringHeaderSize) {
    return std::unexpected(errors::damaged("string at offset " + std::to_string(position) +
                                           " has a total length below its 4-byte header"));
  }
  std::uint64_t length = total - kLongStringHeaderSize;
  if (!in_bounds(image, position + kLongStringHeaderSize, length)) {
    return std::unexpected(past_end(image, position + kLongStringHeaderSize, length));
  }
  if (k != kLongAsciiKind && k != kUtf16Kind) return std::unexpected(PdbError(pdb_error::UnknownString{k, position}));
  return StringSpan{k, image.subspan(position + kLongStringHeaderSize, length)};
}

void append_decoded_text(std::string& out, const StringSpan& span) {
  if (span.text.empty()) return;  // most slots of a track row
  std::string_view text(reinterpret_cast<const char*>(span.text.data()), span.text.size());
  if (span.kind == kUtf16Kind) {
    append_utf16le(out, span.text);
  } else {
    append_utf8_with_replacement(out, text);
  }
}

std::uint64_t decoded_text_size(const StringSpan& span) {
  if (span.kind == kUtf16Kind) {
    // As append_utf16le: a pair gives 4 bytes, a lone surrogate U+FFFD (3).
    const std::size_t count = span.text.size() / 2;
    std::uint64_t size = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Eight units at a time while none is a surrogate: each gives 3 bytes,
    // one fewer below U+0800 and one fewer again below U+0080. The lanes
    // count the units below each bound (a compare gives -1 for true); their
    // sum is taken once. The first block with a surrogate and all after it
    // go unit by unit, so no pair is split.
    const __m128i zero = _mm_setzero_si128();
    const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i top9 = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    __m128i below = zero;  // at most 2 a block a lane: under 8,192 in a text of 65,535 bytes
    for (; i + 8 <= count; i += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(span.text.data() + 2 * i));
      const __m128i high = _mm_and_si128(v, top5);
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, surrogate)) != 0) break;
      below = _mm_sub_epi16(below, _mm_cmpeq_epi16(high, zero));
      below = _mm_sub_epi16(below, _mm_cmpeq_epi16(_mm_and_si128(v, top9), zero));
    }
    __m128i sums = _mm_madd_epi16(below, _mm_set1_epi16(1));  // four sums of two lanes
    sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0x4E));
    sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1));
    size = 3 * std::uint64_t{i} - static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums));
#endif
    for (; i < count; ++i) {
      char32_t u = decode_fixed16(span.text.data() + 2 * i);
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
        char32_t next = decode_fixed16(span.text.data() + 2 * (i + 1));
        if (next >= 0xDC00 && next <= 0xDFFF) {
          size += 4;
          ++i;
          continue;
        }
      }
      size += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    }
    return size;
  }
  std::string_view bytes(reinterpret_cast<const char*>(span.text.data()), span.text.size());
  if (is_ascii(bytes)) return bytes.size();
  // As append_utf8_with_replacement: valid sequences as they are, U+FFFD for
  // each maximal invalid subsequence.
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t length;
    size += next_code_point(bytes, i, length) == kInvalid ? kReplacementUtf8.size() : length;
    i += length;
  }
  return size;
}

bool text_needs_replacement(const StringSpan& span) {
  if (span.kind == kUtf16Kind) {
    const std::size_t count = span.text.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
      char32_t u = decode_fixed16(span.text.data() + 2 * i);
      if (u < 0xD800 || u > 0xDFFF) continue;
      if (u > 0xDBFF || i + 1 == count) return true;
      char32_t next = decode_fixed16(span.text.data() + 2 * (i + 1));
      if (next < 0xDC00 || next > 0xDFFF) return true;
      ++i;
    }
    return false;
  }
  std::string_view bytes(reinterpret_cast<const char*>(span.text.data()), span.text.size());
  if (is_ascii(bytes)) return false;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t length;
    if (next_code_point(bytes, i, length) == kInvalid) return true;
    i += length;
  }
  return false;
}

std::expected<std::string, PdbError> decode_string(Bytes image, std::uint64_t position) {
  auto span = locate_string(image, position);
  if (!span) return std::unexpected(span.error());
  std::string text;
  append_decoded_text(text, *span);
  return text;
}

std::expected<EncodingPlan, PdbError> plan_encoding(std::string_view text) {
  if (is_ascii(text)) {
    if (text.size() <= kMaxShortAsciiLength) {
      return EncodingPlan{static_cast<std::uint8_t>(2 * text.size() + 3), 1 + text.size()};
    }
    if (text.size() > kMaxEncodedTextLength) return std::unexpected(PdbError(pdb_error::StringTooLong{}));
    return EncodingPlan{kLongAsciiKind, kLongStringHeaderSize + text.size()};
  }
  // UTF-16LE: the units are counted first.
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length;
    char32_t cp = next_code_point(text, i, length);
    units += cp >= 0x10000 && cp != kInvalid ? 2 : 1;
    i += length;
  }
  if (2 * units > kMaxEncodedTextLength) return std::unexpected(PdbError(pdb_error::StringTooLong{}));
  return EncodingPlan{kUtf16Kind, kLongStringHeaderSize + 2 * units};
}

std::uint8_t* put_encoded_string(std::uint8_t* p, std::string_view text, const EncodingPlan& plan) {
  if (plan.kind & 1) {
    *p++ = plan.kind;
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    return p + text.size();
  }
  p[0] = plan.kind;
  encode_fixed16(p + 1, static_cast<std::uint16_t>(plan.size));
  p[3] = 0;  // the pad byte
  p += kLongStringHeaderSize;
  if (plan.kind == kLongAsciiKind) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
  }
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length;
    char32_t cp = next_code_point(text, i, length);
    if (cp == kInvalid) cp = kReplacement;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      encode_fixed16(p, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      encode_fixed16(p + 2, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
      p += 4;
    } else {
      encode_fixed16(p, static_cast<std::uint16_t>(cp));
      p += 2;
    }
    i += length;
  }
  return p;
}

std::expected<void, PdbError> append_encoded_string(std::vector<std::uint8_t>& out, std::string_view text) {
  auto plan = plan_encoding(text);
  if (!plan) return std::unexpected(plan.error());
  // The vector's own growth, never an exact reserve: callers append many
  // strings to one buffer.
  const std::size_t start = out.size();
  out.resize(start + plan->size);
  put_encoded_string(out.data() + start, text, *plan);
  return {};
}

std::expected<std::vector<std::uint8_t>, PdbError> encode_string(std::string_view text) {
  std::vector<std::uint8_t> out;
  if (auto ok = append_encoded_string(out, text); !ok) return std::unexpected(std::move(ok.error()));
  return out;
}

}  // namespace vantrel_pdb
