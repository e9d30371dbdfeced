#include "request_json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "json_writer.h"

namespace dovrel::request_json {

namespace {

// Longest piece of an offending string quoted back in a message.
constexpr std::size_t kQuotedTextLimit = 40;

// The stand-ins of the numbers that were too big for the parser, while a
// rewritten request is read (see big_numbers.h); null otherwise. The
// request's walk reaches values through many small functions, so the one
// parse in progress on this thread keeps its table here.
thread_local const BigNumberRewrite* t_big_numbers = nullptr;

// The number as written when `value` stands for one too big for the parser.
const BigNumber* big_number(dom::element value) {
  if (t_big_numbers == nullptr || value.type() != dom::element_type::DOUBLE) return nullptr;
  return t_big_numbers->find(value.get_double().value_unsafe());
}

// A short rendering of a JSON value for "got ..." in a message.
std::string describe(dom::element value) {
  switch (value.type()) {
    case dom::element_type::ARRAY: return "an array";
    case dom::element_type::OBJECT: return "an object";
    case dom::element_type::INT64: return std::to_string(std::int64_t(value.get_int64().value_unsafe()));
    case dom::element_type::UINT64: return std::to_string(std::uint64_t(value.get_uint64().value_unsafe()));
    case dom::element_type::DOUBLE: {
      if (const BigNumber* big = big_number(value)) return big->text;
      // Shortest form; a fraction-less one gets ".0" so that 1e2 does not
      // read as the integer it resembles.
      char buffer[64];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, double(value.get_double().value_unsafe()));
      std::string text(buffer, ec == std::errc() ? end : buffer);
      if (text.find_first_of(".en") == std::string::npos) text.append(".0");
      return text;
    }
    case dom::element_type::STRING: {
      std::string_view text = value.get_string().value_unsafe();
      bool cut = text.size() > kQuotedTextLimit;
      if (cut) {
        std::size_t end = kQuotedTextLimit;
        // Cut before a UTF-8 continuation byte, never inside a character.
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        text = text.substr(0, end);
      }
      std::string out = "\"";
      append_json_escaped(out, text);
      out.append(cut ? "...\"" : "\"");
      return out;
    }
    case dom::element_type::BOOL: return value.get_bool().value_unsafe() ? "true" : "false";
    case dom::element_type::NULL_VALUE: return "null";
  }
  return "an unknown value";
}

}  // namespace

std::string Where::str() const {
  std::string out = parent_ ? parent_->str() : std::string();
  switch (kind_) {
    case Kind::kRoot: break;
    case Kind::kField:
      if (!out.empty()) out.push_back('.');
      out.append(name_);
      break;
    case Kind::kIndex: out.append("[").append(std::to_string(index_)).append("]"); break;
    case Kind::kMapKey:
      out.append("[\"");
      append_json_escaped(out, name_);
      out.append("\"]");
      break;
  }
  return out;
}

std::unexpected<Error> fail_at(const Where& where, std::string_view message) {
  std::string place = where.str();
  if (place.empty()) return fail(std::string(message));
  return fail(place.append(": ").append(message));
}

std::unexpected<Error> type_error(const Where& where, std::string_view what, dom::element got) {
  return fail_at(where, std::string("expected ").append(what).append(", got ").append(describe(got)));
}

ScopedBigNumbers::ScopedBigNumbers(const BigNumberRewrite* rewrite) { t_big_numbers = rewrite; }
ScopedBigNumbers::~ScopedBigNumbers() { t_big_numbers = nullptr; }

std::string quoted_key(std::string_view prefix, std::string_view key) {
  std::string message(prefix);
  append_json_escaped(message, key);
  return message.append("`");
}

Status parse_string(dom::element value, const Where& where, std::string& out) {
  if (value.type() != dom::element_type::STRING) return type_error(where, "a string", value);
  out = std::string_view(value.get_string().value_unsafe());
  return {};
}

Status parse_optional_string(dom::element value, const Where& where, std::optional<std::string>& out) {
  if (value.is_null()) {
    out.reset();
    return {};
  }
  return parse_string(value, where, out.emplace());
}

std::optional<std::uint64_t> unsigned_of(dom::element value) {
  switch (value.type()) {
    case dom::element_type::INT64: {
      const std::int64_t s = value.get_int64().value_unsafe();
      if (s < 0) return std::nullopt;
      return static_cast<std::uint64_t>(s);
    }
    case dom::element_type::UINT64: return value.get_uint64().value_unsafe();
    default: return std::nullopt;
  }
}

Status parse_number(dom::element value, const Where& where, double& out) {
  switch (value.type()) {
    case dom::element_type::INT64: out = static_cast<double>(std::int64_t(value.get_int64().value_unsafe())); return {};
    case dom::element_type::UINT64:
      out = static_cast<double>(std::uint64_t(value.get_uint64().value_unsafe()));
      return {};
    case dom::element_type::DOUBLE:
      if (const BigNumber* big = big_number(value)) {
        // A big integer is the nearest double; a number beyond the doubles is refused.
        const double nearest = big->integer ? std::strtod(big->text.c_str(), nullptr) : HUGE_VAL;
        if (std::isinf(nearest)) return fail_at(where, "the number " + big->text + " is out of range");
        out = nearest;
        return {};
      }
      out = value.get_double().value_unsafe();
      return {};
    default: return type_error(where, "a number", value);
  }
}

Status parse_bool(dom::element value, const Where& where, bool& out) {
  if (value.type() != dom::element_type::BOOL) return type_error(where, "true or false", value);
  out = value.get_bool().value_unsafe();
  return {};
}

Result<dom::array> as_array(dom::element value, const Where& where) {
  if (value.type() != dom::element_type::ARRAY) return type_error(where, "an array", value);
  return dom::array(value.get_array().value_unsafe());
}

Result<dom::object> as_object(dom::element value, const Where& where) {
  if (value.type() != dom::element_type::OBJECT) return type_error(where, "a JSON object", value);
  return dom::object(value.get_object().value_unsafe());
}

Status parse_u32_list(dom::element value, const Where& where, std::vector<std::uint32_t>& out) {
  auto array = as_array(value, where);
  if (!array) return std::unexpected(std::move(array.error()));
  out.clear();
  out.reserve(array->size());
  std::size_t i = 0;
  for (dom::element item : *array) {
    std::uint32_t id = 0;
    if (auto ok = parse_unsigned(item, where.index(i), id); !ok) return ok;
    out.push_back(id);
    ++i;
  }
  return {};
}

Status parse_optional_u32_list(dom::element value, const Where& where, std::optional<std::vector<std::uint32_t>>& out) {
  if (value.is_null()) {
    out.reset();
    return {};
  }
  return parse_u32_list(value, where, out.emplace());
}

bool parse_decimal_u32(std::string_view text, std::uint32_t& out) {
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace dovrel::request_json
