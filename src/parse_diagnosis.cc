#include "parse_diagnosis.h"

#include <cctype>
#include <cstdint>

namespace dovrel {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The value of the four hex digits at text[i], or nothing.
std::optional<std::uint32_t> hex4(std::string_view text, std::size_t i) {
  if (i + 4 > text.size()) return std::nullopt;
  std::uint32_t v = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = text[k];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    v = v * 16 + digit;
  }
  return v;
}

std::string at_byte(std::size_t i) { return " at byte " + std::to_string(i); }

// The escape that starts with the backslash at text[i]: its length when it
// is JSON, else the message naming it.
struct Escape {
  std::size_t length = 0;
  std::optional<std::string> problem;
};

Escape examine_escape(std::string_view text, std::size_t i) {
  if (i + 1 >= text.size()) return {1, std::nullopt};  // cut short: the parser's message serves
  const char next = text[i + 1];
  if (std::string_view("\"\\/bfnrt").find(next) != std::string_view::npos) return {2, std::nullopt};
  if (next != 'u') {
    const auto byte = static_cast<unsigned char>(next);
    std::string shown =
        byte >= 0x20 && byte < 0x7F ? std::string("\\") + next : "\\ before byte " + std::to_string(byte);
    return {2, "invalid escape " + shown + at_byte(i)};
  }
  auto unit = hex4(text, i + 2);
  if (!unit) {
    // Name the escape as far as it is hex digits, and the first byte that is not.
    std::size_t end = i + 2;
    while (end < i + 6 && end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end < text.size() && static_cast<unsigned char>(text[end]) > 0x20 &&
        static_cast<unsigned char>(text[end]) < 0x7F && text[end] != '"') {
      ++end;
    }
    return {2, "invalid escape " + std::string(text.substr(i, end - i)) + at_byte(i)};
  }
  const std::string written(text.substr(i, 6));
  if (*unit >= 0xDC00 && *unit <= 0xDFFF) return {6, "unpaired surrogate " + written + at_byte(i)};
  if (*unit < 0xD800 || *unit > 0xDBFF) return {6, std::nullopt};
  // A high surrogate needs a low one written straight after it.
  if (i + 8 <= text.size() && text[i + 6] == '\\' && text[i + 7] == 'u') {
    auto low = hex4(text, i + 8);
    if (low && *low >= 0xDC00 && *low <= 0xDFFF) return {12, std::nullopt};
  }
  return {6, "unpaired surrogate " + written + at_byte(i)};
}

}  // namespace

std::optional<std::string> diagnose_parse_failure(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) return "a byte order mark (U+FEFF) precedes the request";
  bool in_string = false;
  std::size_t depth = 0;
  std::size_t end = std::string_view::npos;  // just past the first whole object or array
  for (std::size_t i = 0; i < text.size() && end == std::string_view::npos;) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        Escape escape = examine_escape(text, i);
        if (escape.problem) return escape.problem;
        i += escape.length;
        continue;
      }
      if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return std::nullopt;
      if (--depth == 0) end = i + 1;
    }
    ++i;
  }
  if (end == std::string_view::npos) {
    if (in_string) return "the request ends inside a string";
    if (depth > 0) return "the request ends before all its objects and arrays are closed";
  }
  return std::nullopt;
}

std::optional<std::size_t> find_excess_nesting(std::string_view text, std::size_t limit) {
  bool in_string = false;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return i;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return std::nullopt;
}

}  // namespace dovrel
