// Numbers that are valid JSON but beyond what the JSON parser takes: an
// integer outside the 64-bit range (123456789012345678901234567890) or a
// number beyond the range of a double (1e400). The parser refuses the whole
// text for one of them; this rewrites the text so that it parses, each such
// number replaced by a stand-in double that the request reader can map back
// to the number as written.
#ifndef DOVREL_BIG_NUMBERS_H_
#define DOVREL_BIG_NUMBERS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dovrel {

// One number as written in the request.
struct BigNumber {
  std::string text;
  bool integer = false;  // no fraction and no exponent
};

struct BigNumberRewrite {
  // The request with every big number replaced by its stand-in.
  std::string text;
  // The bit pattern of each stand-in double -> the number it stands for.
  // No other number in the text has a stand-in's value.
  std::unordered_map<std::uint64_t, BigNumber> by_stand_in;

  // The number that `value` stands for, or nullptr for an ordinary value.
  const BigNumber* find(double value) const;
};

// Returns the rewrite of `text` when it holds at least one big number (a
// valid JSON number outside strings), else nothing. Numbers that are not
// valid JSON (01, 1.) are left for the parser to refuse. Reads the text once.
std::optional<BigNumberRewrite> rewrite_big_numbers(std::string_view text);

}  // namespace dovrel

#endif  // DOVREL_BIG_NUMBERS_H_
