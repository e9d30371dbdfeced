#include "vantrel_pdb/strings.h"

#include <algorithm>

namespace vantrel_pdb {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Returned by next_code_point for an invalid sequence; outside Unicode.
constexpr char32_t kInvalid = 0x110000;

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

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

std::string decode_utf16le(Bytes units) {
  std::string out;
  out.reserve(units.size() + units.size() / 2);
  std::size_t count = units.size() / 2;  // an odd final byte is ignored
  for (std::size_t i = 0; i < count; ++i) {
    char32_t u = decode_fixed16(units.data() + 2 * i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
      char32_t next = decode_fixed16(units.data() + 2 * (i + 1));
      if (next >= 0xDC00 && next <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    append_utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
  }
  return out;
}

std::string decode_ascii_kind(Bytes text) {
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size());
  std::string out;
  append_utf8_with_replacement(out, bytes);
  return out;
}

}  // namespace

void append_utf8_with_replacement(std::string& out, std::string_view bytes) {
  // Fast path: pure ASCII is copied as it is.
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    out.append(bytes);
    return;
  }
  out.reserve(out.size() + bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t length;
    char32_t cp = next_code_point(bytes, i, length);
    if (cp == kInvalid) {
      append_utf8(out, kReplacement);
    } else {
      out.append(bytes.substr(i, length));
    }
    i += length;
  }
}

std::expected<std::string, PdbError> decode_string(Bytes image, std::uint64_t position) {
  auto kind = load_u8(image, position);
  if (!kind) return std::unexpected(kind.error());
  std::uint8_t k = *kind;
  if (k & 1) {
    std::uint64_t length = k == 1 ? 0 : (k >> 1) - 1;
    if (auto ok = require_bytes(image, position + 1, length); !ok) return std::unexpected(ok.error());
    return decode_ascii_kind(image.subspan(position + 1, length));
  }
  // Long strings: the length is settled before the kind is examined, so an
  // impossible length is a malformed string rather than an unknown kind.
  auto total = load_u16(image, position + 1);
  if (!total) return std::unexpected(total.error());
  if (*total < kLongStringHeaderSize) {
    return std::unexpected(PdbError(pdb_error::Io{"string at offset " + std::to_string(position) +
                                                  " has a total length below its 4-byte header"}));
  }
  std::uint64_t length = *total - kLongStringHeaderSize;
  if (auto ok = require_bytes(image, position + kLongStringHeaderSize, length); !ok) {
    return std::unexpected(ok.error());
  }
  Bytes text = image.subspan(position + kLongStringHeaderSize, length);
  if (k == kLongAsciiKind) return decode_ascii_kind(text);
  if (k == kUtf16Kind) return decode_utf16le(text);
  return std::unexpected(PdbError(pdb_error::UnknownString{k, position}));
}

std::expected<std::vector<std::uint8_t>, PdbError> encode_string(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  std::vector<std::uint8_t> out;
  if (ascii) {
    if (text.size() <= kMaxShortAsciiLength) {
      out.reserve(text.size() + 1);
      out.push_back(static_cast<std::uint8_t>(2 * text.size() + 3));
      out.insert(out.end(), text.begin(), text.end());
      return out;
    }
    if (text.size() > kMaxEncodedTextLength) return std::unexpected(PdbError(pdb_error::StringTooLong{}));
    out.resize(kLongStringHeaderSize);
    out[0] = kLongAsciiKind;
    encode_fixed16(out.data() + 1, static_cast<std::uint16_t>(text.size() + kLongStringHeaderSize));
    out.insert(out.end(), text.begin(), text.end());
    return out;
  }
  // UTF-16LE: count the units first so that the output is allocated once.
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length;
    char32_t cp = next_code_point(text, i, length);
    units += cp >= 0x10000 && cp != kInvalid ? 2 : 1;
    i += length;
  }
  if (2 * units > kMaxEncodedTextLength) return std::unexpected(PdbError(pdb_error::StringTooLong{}));
  out.resize(kLongStringHeaderSize + 2 * units);
  out[0] = kUtf16Kind;
  encode_fixed16(out.data() + 1, static_cast<std::uint16_t>(2 * units + kLongStringHeaderSize));
  std::uint8_t* p = out.data() + kLongStringHeaderSize;
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
  return out;
}

}  // namespace vantrel_pdb
