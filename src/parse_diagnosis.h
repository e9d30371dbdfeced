// A second look at a request text that the JSON parser refused, for the
// failures its own messages leave vague: it says "improper structure" for a
// byte order mark or a text cut short, and "problem while parsing a string"
// for an escape that is not JSON.
#ifndef DOVREL_PARSE_DIAGNOSIS_H_
#define DOVREL_PARSE_DIAGNOSIS_H_

#include <optional>
#include <string>
#include <string_view>

namespace dovrel {

// Requires: `text` is valid UTF-8 that the parser refused. Returns the first
// of these that the text shows, positions counted in bytes from 0, or
// nothing when it shows none of them:
//   "a byte order mark (U+FEFF) precedes the request"
//   "unpaired surrogate \ud800 at byte 11"    (a \u escape of half a pair)
//   "invalid escape \x at byte 11"            (not one of \" \\ \/ \b \f \n \r \t \uXXXX)
//   "the request ends inside a string"
//   "the request ends before all its objects and arrays are closed"
// Text after the first whole object or array is not looked at: the
// parser's message stands for it. Reads the text once.
std::optional<std::string> diagnose_parse_failure(std::string_view text);

// Returns the position (in bytes from 0) of the first "{" or "[" outside
// strings that opens more than `limit` objects and arrays nested at once,
// or nothing when the text never nests that deep. Reads the text once.
std::optional<std::size_t> find_excess_nesting(std::string_view text, std::size_t limit);

}  // namespace dovrel

#endif  // DOVREL_PARSE_DIAGNOSIS_H_
