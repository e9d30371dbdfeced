#include "safe_name.h"

#include <array>
#include <cstdint>
#include <optional>

namespace dovrel {

namespace {

// What stands for a character a name may not hold. (One char, pushed:
// g++ 12 at -O3 misreads a short string assigned into a name as an
// overlapping copy.)
constexpr char kReplacement = '_';

// One UTF-8 character at the front of `text`: its code point and length,
// or nullopt for a byte that does not start a well-formed character
// (overlong forms, surrogates and values past U+10FFFF included).
struct Decoded {
  char32_t code;
  std::size_t length;
};
std::optional<Decoded> decode_one(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length;
  char32_t code;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07u, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  return Decoded{code, length};
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool reserved_character(char32_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  constexpr std::string_view kReserved = "<>:\"/\\|?*";
  return c < 0x80 && kReserved.find(static_cast<char>(c)) != std::string_view::npos;
}

void strip_trailing_dots_and_spaces(std::string& name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
}

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The length of the device name that `name` starts with, when what
// follows it is nothing, spaces, or spaces and a dot; 0 otherwise.
std::size_t device_name_length(std::string_view name) {
  static constexpr std::array<std::string_view, 4> kThreeLetters = {"CON", "PRN", "AUX", "NUL"};
  static constexpr std::array<std::string_view, 2> kNumbered = {"COM", "LPT"};
  const std::size_t dot = name.find('.');
  std::string_view base = name.substr(0, dot);
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string upper;
  for (char c : base) upper.push_back(ascii_upper(c));
  for (std::string_view device : kThreeLetters) {
    if (upper == device) return 3;
  }
  for (std::string_view device : kNumbered) {
    if (upper.size() == 4 && upper.starts_with(device) && upper[3] >= '1' && upper[3] <= '9') return 4;
  }
  return 0;
}

// `text` cut to at most `limit` bytes, at a character boundary.
void cut_to(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

// The safe stem of `name`, before any cut.
std::string clean_stem(std::string_view name) {
  std::string stem;
  stem.reserve(name.size());
  while (!name.empty()) {
    auto one = decode_one(name);
    if (!one) {
      stem.push_back(kReplacement);
      name.remove_prefix(1);
      continue;
    }
    if (reserved_character(one->code)) {
      stem.push_back(kReplacement);
    } else {
      stem.append(name.substr(0, one->length));
    }
    name.remove_prefix(one->length);
  }
  strip_trailing_dots_and_spaces(stem);
  if (stem.empty()) stem.push_back(kReplacement);
  if (std::size_t device = device_name_length(stem))
    stem.insert(stem.begin() + static_cast<std::ptrdiff_t>(device), kReplacement);
  return stem;
}

// The stem cut to leave room for `tail` (number and extension).
std::string fit(std::string stem, std::string_view tail) {
  cut_to(stem, kMaxNameBytes - tail.size());
  strip_trailing_dots_and_spaces(stem);
  if (stem.empty()) stem.push_back(kReplacement);
  return stem.append(tail);
}

char32_t upper_case(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    const bool even_upper = (c <= 0x137 && c != 0x130 && c != 0x131) || (c >= 0x14A && c <= 0x177);
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (even_upper && (c & 1)) return c - 1;
    if (odd_upper && !(c & 1)) return c - 1;
    if (c == 0x131) return 'I';
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? 0x3A3 : c - 0x20;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

}  // namespace

std::string safe_name(std::string_view name, std::string_view extension) { return fit(clean_stem(name), extension); }

std::string fold_case(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  while (!name.empty()) {
    auto one = decode_one(name);
    if (!one) {
      out.push_back(name.front());
      name.remove_prefix(1);
      continue;
    }
    append_utf8(out, upper_case(one->code));
    name.remove_prefix(one->length);
  }
  return out;
}

std::string FolderNames::add(std::string_view name, std::string_view extension) {
  const std::string stem = clean_stem(name);
  std::string candidate = fit(stem, extension);
  for (std::uint64_t number = 2; !taken_.insert(fold_case(candidate)).second; ++number) {
    candidate = fit(stem, std::string(" (").append(std::to_string(number)).append(")").append(extension));
  }
  return candidate;
}

}  // namespace dovrel
