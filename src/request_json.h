// The pieces every request reader is made of: where a value sits (for the
// message), typed readers of JSON values with their exact messages, and the
// walk over an object's keys in document order. The request of each action
// is read with them (request.cc and the readers of the newer actions), so
// that every request error reads alike:
//   tracks[3].duration: expected an unsigned 16-bit integer, got 70000
//   changes[2]: unknown field `colour`
#ifndef DOVREL_REQUEST_JSON_H_
#define DOVREL_REQUEST_JSON_H_

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "big_numbers.h"
#include "error.h"

namespace dovrel::request_json {

namespace dom = simdjson::dom;
using Status = Result<void>;

// Where a value sits in the request: "tracks[3].duration", tempos["7"]. The
// chain lives on the stack of the parse and is rendered only for a message.
class Where {
 public:
  Where() = default;

  Where field(std::string_view name) const { return Where(this, Kind::kField, name, 0); }
  Where index(std::size_t i) const { return Where(this, Kind::kIndex, {}, i); }
  Where map_key(std::string_view key) const { return Where(this, Kind::kMapKey, key, 0); }

  std::string str() const;

 private:
  enum class Kind { kRoot, kField, kIndex, kMapKey };
  Where(const Where* parent, Kind kind, std::string_view name, std::size_t index)
      : parent_(parent), kind_(kind), name_(name), index_(index) {}

  const Where* parent_ = nullptr;
  Kind kind_ = Kind::kRoot;
  std::string_view name_;
  std::size_t index_ = 0;
};

// "PLACE: MESSAGE", or MESSAGE alone at the top level.
std::unexpected<Error> fail_at(const Where& where, std::string_view message);

// "PLACE: expected WHAT, got VALUE": a value of the wrong kind or out of range.
std::unexpected<Error> type_error(const Where& where, std::string_view what, dom::element got);

// While it lives, the values of the document being read may stand for
// numbers too big for the parser (see big_numbers.h): messages then quote
// those numbers as written. One per thread at a time.
class ScopedBigNumbers {
 public:
  explicit ScopedBigNumbers(const BigNumberRewrite* rewrite);
  ~ScopedBigNumbers();
  ScopedBigNumbers(const ScopedBigNumbers&) = delete;
  ScopedBigNumbers& operator=(const ScopedBigNumbers&) = delete;
};

// The readers of one value each: on a value of another kind they fail with
// type_error ("expected a string", "expected an unsigned 16-bit integer",
// "expected a number", "expected true or false", "expected an array",
// "expected a JSON object").
Status parse_string(dom::element value, const Where& where, std::string& out);
// null gives nullopt.
Status parse_optional_string(dom::element value, const Where& where, std::optional<std::string>& out);
Status parse_number(dom::element value, const Where& where, double& out);
Status parse_bool(dom::element value, const Where& where, bool& out);
Result<dom::array> as_array(dom::element value, const Where& where);
Result<dom::object> as_object(dom::element value, const Where& where);
// An array of unsigned 32-bit integers; duplicates allowed.
Status parse_u32_list(dom::element value, const Where& where, std::vector<std::uint32_t>& out);
// null gives nullopt.
Status parse_optional_u32_list(dom::element value, const Where& where, std::optional<std::vector<std::uint32_t>>& out);
// A decimal u32 written as a string: ASCII digits only, at least one,
// leading zeros allowed.
bool parse_decimal_u32(std::string_view text, std::uint32_t& out);

// The read of an unsigned field: the value as a u64 when it is a JSON
// integer (no fraction, no exponent: those parse as doubles) that is not
// negative, else nothing.
std::optional<std::uint64_t> unsigned_of(dom::element value);

template <class UInt>
constexpr std::string_view unsigned_name() {
  if constexpr (sizeof(UInt) == 1) return "an unsigned 8-bit integer";
  if constexpr (sizeof(UInt) == 2) return "an unsigned 16-bit integer";
  if constexpr (sizeof(UInt) == 4) return "an unsigned 32-bit integer";
  if constexpr (sizeof(UInt) == 8) return "an unsigned 64-bit integer";
}

// A JSON integer that is not negative and fits UInt.
template <class UInt>
Status parse_unsigned(dom::element value, const Where& where, UInt& out) {
  const std::optional<std::uint64_t> v = unsigned_of(value);
  if (!v || *v > std::uint64_t{std::numeric_limits<UInt>::max()}) {
    return type_error(where, unsigned_name<UInt>(), value);
  }
  out = static_cast<UInt>(*v);
  return {};
}

// The keys of one record type, in the order in which missing required keys
// are looked for; the first `required` of them are required.
template <std::size_t N>
struct Fields {
  std::array<std::string_view, N> keys;
  std::size_t required;

  // The index of `key`, or N. The search starts at `hint` and wraps round:
  // records usually list their keys in this order, so starting after the
  // previous key's index finds the next one at the first comparison.
  std::size_t find(std::string_view key, std::size_t hint = 0) const {
    for (std::size_t k = 0; k < N; ++k) {
      const std::size_t i = (hint + k) % N;
      if (keys[i] == key) return i;
    }
    return N;
  }
};

// PREFIX + the key, escaped, + "`".
std::string quoted_key(std::string_view prefix, std::string_view key);

// What a walk does with a key its record does not list: the request's top
// level and its older records skip it; the records of newer actions, which
// no caller relied on before, refuse it ("unknown field `KEY`").
enum class UnknownKeys { kSkip, kRefuse };

// Walks the fields of `object` in document order. A key seen twice fails
// ("duplicate field `KEY`"), listed or not; each listed key's value goes to
// parse_field(index, value, where) at once; an unknown key is skipped or
// refused as `unknown` says. Afterwards the first missing required key
// fails ("missing field `KEY`").
template <std::size_t N, class ParseField>
Status walk_object(dom::object object, const Fields<N>& fields, const Where& where, ParseField&& parse_field,
                   UnknownKeys unknown = UnknownKeys::kSkip) {
  static_assert(N <= 64, "seen keys are one bit each");
  std::uint64_t seen = 0;
  // Unknown keys are rare; the set allocates only when one appears.
  std::unordered_set<std::string_view> others;
  std::size_t hint = 0;
  for (dom::key_value_pair field : object) {
    std::size_t i = fields.find(field.key, hint);
    if (i < N) hint = i + 1;
    bool repeated;
    if (i < N) {
      repeated = (seen >> i) & 1u;
      seen |= std::uint64_t{1} << i;
    } else {
      repeated = !others.insert(field.key).second;
    }
    if (repeated) return fail_at(where, quoted_key("duplicate field `", field.key));
    if (i < N) {
      if (auto ok = parse_field(i, field.value, where.field(fields.keys[i])); !ok) return ok;
    } else if (unknown == UnknownKeys::kRefuse) {
      return fail_at(where, quoted_key("unknown field `", field.key));
    }
  }
  for (std::size_t i = 0; i < fields.required; ++i) {
    if (!((seen >> i) & 1u)) return fail_at(where, std::string("missing field `").append(fields.keys[i]).append("`"));
  }
  return {};
}

// Records reserved ahead at most, unless the caller knows a bound of its
// own: an array of a million "{}" is three bytes of request per element but
// hundreds of bytes per record, and fails at its first element; beyond this
// the vector grows as records are made.
inline constexpr std::size_t kMaxRecordsReserved = 4096;

// An array of records, each read by parse_record(element, where, record&).
// At most `max_reserved` records are reserved ahead.
template <class Record, class ParseRecord>
Status parse_records(dom::element value, const Where& where, std::vector<Record>& out, ParseRecord parse_record,
                     std::size_t max_reserved = kMaxRecordsReserved) {
  auto array = as_array(value, where);
  if (!array) return std::unexpected(std::move(array.error()));
  out.clear();
  out.reserve(std::min(array->size(), max_reserved));
  std::size_t i = 0;
  for (dom::element item : *array) {
    if (auto ok = parse_record(item, where.index(i), out.emplace_back()); !ok) return ok;
    ++i;
  }
  return {};
}

}  // namespace dovrel::request_json

#endif  // DOVREL_REQUEST_JSON_H_
