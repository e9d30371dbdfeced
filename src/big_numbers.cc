#include "big_numbers.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_set>
#include <vector>

namespace dovrel {

namespace {

constexpr std::string_view kLargestU64 = "18446744073709551615";
constexpr std::string_view kMostNegativeI64Digits = "9223372036854775808";
// Stand-ins are tiny negative doubles counted down from here: requests
// seldom hold such values, and any that it does hold is skipped.
constexpr double kFirstStandIn = -0x1.5a5a5a5a5a5a5p-1000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `token` is a JSON number: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view token) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t start = i;
    while (i < token.size() && is_digit(token[i])) ++i;
    return i > start;
  };
  if (i < token.size() && token[i] == '-') ++i;
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == token.size();
}

// Digit strings without leading zeros compare as numbers by length first.
bool exceeds(std::string_view digits, std::string_view limit) {
  return digits.size() != limit.size() ? digits.size() > limit.size() : digits > limit;
}

double to_double(std::string_view token) {
  // strtod rounds to nearest and gives HUGE_VAL beyond the range.
  return std::strtod(std::string(token).c_str(), nullptr);
}

}  // namespace

const BigNumber* BigNumberRewrite::find(double value) const {
  auto it = by_stand_in.find(std::bit_cast<std::uint64_t>(value));
  return it == by_stand_in.end() ? nullptr : &it->second;
}

std::optional<BigNumberRewrite> rewrite_big_numbers(std::string_view text) {
  struct Found {
    std::size_t start, size;
    bool integer;
  };
  std::vector<Found> big;
  std::unordered_set<std::uint64_t> doubles_in_text;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
      ++i;
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && (is_digit(text[end]) || text[end] == '-' || text[end] == '+' || text[end] == '.' ||
                                 text[end] == 'e' || text[end] == 'E')) {
      ++end;
    }
    const std::string_view token = text.substr(i, end - i);
    if (is_json_number(token)) {
      const bool integer = token.find_first_of(".eE") == std::string_view::npos;
      bool is_big;
      if (integer) {
        is_big = token[0] == '-' ? exceeds(token.substr(1), kMostNegativeI64Digits) : exceeds(token, kLargestU64);
      } else {
        const double value = to_double(token);
        is_big = std::isinf(value);
        if (!is_big) doubles_in_text.insert(std::bit_cast<std::uint64_t>(value));
      }
      if (is_big) big.push_back({i, token.size(), integer});
    }
    i = end;
  }
  if (big.empty()) return std::nullopt;

  BigNumberRewrite rewrite;
  rewrite.text.reserve(text.size() + big.size() * 24);
  double stand_in = kFirstStandIn;
  std::size_t copied = 0;
  for (const Found& f : big) {
    while (doubles_in_text.contains(std::bit_cast<std::uint64_t>(stand_in))) {
      stand_in = std::nextafter(stand_in, -1.0);
    }
    rewrite.text.append(text.substr(copied, f.start - copied));
    char buffer[32];
    // The shortest form reads back as exactly this double.
    auto written = std::to_chars(buffer, buffer + sizeof buffer, stand_in);
    rewrite.text.append(buffer, written.ptr);
    rewrite.by_stand_in.emplace(std::bit_cast<std::uint64_t>(stand_in),
                                BigNumber{std::string(text.substr(f.start, f.size)), f.integer});
    copied = f.start + f.size;
    stand_in = std::nextafter(stand_in, -1.0);
  }
  rewrite.text.append(text.substr(copied));
  return rewrite;
}

}  // namespace dovrel
