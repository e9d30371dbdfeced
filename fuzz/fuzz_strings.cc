// Fuzz target: PDB strings.
//
// decode_string on arbitrary bytes, at position 0 and at a position taken
// from the input's last two bytes (which may lie past the end), is compared
// with an independent decoder written here from the string layout: both
// must agree on success, on the text, and on an unknown kind byte; decoded
// text is always valid UTF-8. For input that is valid UTF-8, encode_string
// then decode_string gives the text back, in the form the text calls for
// (short ASCII, long ASCII or UTF-16).
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/coding.h"
#include "format/strings.h"
#include "fuzz_check.h"

namespace {

using dovrel::fuzz::check;
using vantrel_pdb::Bytes;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void append_code_point(std::string& out, std::uint32_t cp) {
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

// UTF-8 with every maximal invalid subsequence replaced by one U+FFFD: a lead
// byte with its well-formed continuation bytes is kept whole; otherwise the
// lead byte and the continuation bytes accepted so far form one subsequence.
std::string reference_utf8(Bytes in) {
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    const std::uint8_t b = in[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    std::size_t need = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b == 0xE0) {
      need = 2, lo = 0xA0;
    } else if (b == 0xED) {
      need = 2, hi = 0x9F;
    } else if (b >= 0xE1 && b <= 0xEF) {
      need = 2;
    } else if (b == 0xF0) {
      need = 3, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
      need = 3;
    } else if (b == 0xF4) {
      need = 3, hi = 0x8F;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (need != 0 && got < need && j < in.size() && in[j] >= lo && in[j] <= hi) {
      lo = 0x80, hi = 0xBF;
      ++j, ++got;
    }
    if (need != 0 && got == need) {
      out.append(reinterpret_cast<const char*>(in.data() + i), j - i);
    } else {
      out.append(kReplacement);
    }
    i = j;
  }
  return out;
}

// UTF-16LE units (an odd last byte dropped); a surrogate that is not part of
// a high-low pair becomes U+FFFD.
std::string reference_utf16(Bytes in) {
  std::string out;
  const std::size_t n = in.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = vantrel_pdb::decode_fixed16(in.data() + 2 * i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      const std::uint32_t v = vantrel_pdb::decode_fixed16(in.data() + 2 * i + 2);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    append_code_point(out, u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
  }
  return out;
}

struct Expected {
  bool unknown_kind = false;        // an even kind byte other than 0x40 and 0x90
  std::optional<std::string> text;  // nullopt: malformed (or unknown kind)
};

Expected reference_decode(Bytes image, std::uint64_t pos) {
  Expected e;
  if (pos >= image.size()) return e;
  const std::uint8_t kind = image[pos];
  if (kind & 1) {
    const std::uint64_t length = kind == 1 ? 0 : (kind >> 1) - 1;
    if (image.size() - pos - 1 < length) return e;
    e.text = reference_utf8(image.subspan(pos + 1, length));
    return e;
  }
  if (image.size() - pos < 3) return e;
  const std::uint64_t total = vantrel_pdb::decode_fixed16(image.data() + pos + 1);
  if (total < vantrel_pdb::kLongStringHeaderSize || image.size() - pos < total) return e;
  Bytes region = image.subspan(pos + vantrel_pdb::kLongStringHeaderSize, total - vantrel_pdb::kLongStringHeaderSize);
  if (kind == vantrel_pdb::kLongAsciiKind) {
    e.text = reference_utf8(region);
  } else if (kind == vantrel_pdb::kUtf16Kind) {
    e.text = reference_utf16(region);
  } else {
    e.unknown_kind = true;
  }
  return e;
}

bool valid_utf8(std::string_view s) { return simdjson::validate_utf8(s.data(), s.size()); }

void check_decode(Bytes image, std::uint64_t pos) {
  auto got = vantrel_pdb::decode_string(image, pos);
  const Expected want = reference_decode(image, pos);
  if (want.text) {
    check(got.has_value(), "decode_string failed on a well-formed string", got ? "" : got.error().message());
    check(*got == *want.text, "decode_string text differs from the reference decoding");
    check(valid_utf8(*got), "decode_string returned invalid UTF-8");
    return;
  }
  check(!got.has_value(), "decode_string accepted a malformed string");
  namespace e = vantrel_pdb::pdb_error;
  if (want.unknown_kind) {
    check(got.error().is<e::UnknownString>(), "unknown kind not reported as UnknownString", got.error().message());
    check(got.error().as<e::UnknownString>().kind == image[pos], "UnknownString names the wrong kind");
    check(got.error().as<e::UnknownString>().offset == pos, "UnknownString names the wrong offset");
  } else {
    check(!got.error().is<e::UnknownString>(), "a malformed length reported as an unknown kind");
  }
}

void check_round_trip(std::string_view text) {
  auto encoded = vantrel_pdb::encode_string(text);
  bool ascii = true;
  std::size_t utf16_bytes = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    if (b >= 0x80) ascii = false;
    // Lead bytes start code points: 4-byte ones need a surrogate pair.
    if ((b & 0xC0) != 0x80) utf16_bytes += b >= 0xF0 ? 4 : 2;
  }
  const std::size_t stored = ascii ? text.size() : utf16_bytes;
  if (stored > vantrel_pdb::kMaxEncodedTextLength) {
    check(!encoded && encoded.error().is<vantrel_pdb::pdb_error::StringTooLong>(),
          "text too long to store was not refused with StringTooLong");
    return;
  }
  check(encoded.has_value(), "encode_string refused storable text", encoded ? "" : encoded.error().message());
  const std::vector<std::uint8_t>& bytes = *encoded;
  if (ascii && text.size() <= vantrel_pdb::kMaxShortAsciiLength) {
    check(bytes.size() == text.size() + 1 && bytes[0] == 2 * text.size() + 3, "short ASCII form expected");
  } else {
    check(bytes.size() == stored + vantrel_pdb::kLongStringHeaderSize, "long string has the wrong size");
    check(bytes[0] == (ascii ? vantrel_pdb::kLongAsciiKind : vantrel_pdb::kUtf16Kind), "long string kind");
    check(vantrel_pdb::decode_fixed16(bytes.data() + 1) == bytes.size(), "long string total length");
    check(bytes[3] == 0, "long string pad byte");
  }
  auto decoded = vantrel_pdb::decode_string(bytes, 0);
  check(decoded.has_value(), "an encoded string does not decode", decoded ? "" : decoded.error().message());
  check(*decoded == text, "encode then decode changed the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes image(data, size);
  check_decode(image, 0);
  if (size >= 2) {
    // Up to two positions past the end, which must fail cleanly.
    const std::uint64_t pos = vantrel_pdb::decode_fixed16(data + size - 2) % (size + 2);
    check_decode(image, pos);
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (valid_utf8(text)) check_round_trip(text);
  return 0;
}
