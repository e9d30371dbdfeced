#include "request.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <unordered_set>

#include "big_numbers.h"
#include "json_writer.h"
#include "parse_diagnosis.h"

namespace dovrel {

namespace {

namespace dom = simdjson::dom;
using Status = Result<void>;

constexpr char kInvalidUtf8[] = "stream did not contain valid UTF-8";
// Longest piece of an offending string quoted back in a message.
constexpr std::size_t kQuotedTextLimit = 40;

// The stand-ins of the numbers that were too big for the parser, while a
// rewritten request is read (see big_numbers.h); null otherwise. The
// request's walk reaches values through many small functions, so the one
// parse in progress on this thread keeps its table here.
thread_local const BigNumberRewrite* t_big_numbers = nullptr;

class ScopedBigNumbers {
 public:
  explicit ScopedBigNumbers(const BigNumberRewrite* rewrite) { t_big_numbers = rewrite; }
  ~ScopedBigNumbers() { t_big_numbers = nullptr; }
  ScopedBigNumbers(const ScopedBigNumbers&) = delete;
  ScopedBigNumbers& operator=(const ScopedBigNumbers&) = delete;
};

// The number as written when `value` stands for one too big for the parser.
const BigNumber* big_number(dom::element value) {
  if (t_big_numbers == nullptr || value.type() != dom::element_type::DOUBLE) return nullptr;
  return t_big_numbers->find(value.get_double().value_unsafe());
}

// Where a value sits in the request: "tracks[3].duration", tempos["7"]. The
// chain lives on the stack of the parse and is rendered only for a message.
class Where {
 public:
  Where() = default;

  Where field(std::string_view name) const { return Where(this, Kind::kField, name, 0); }
  Where index(std::size_t i) const { return Where(this, Kind::kIndex, {}, i); }
  Where map_key(std::string_view key) const { return Where(this, Kind::kMapKey, key, 0); }

  std::string str() const {
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

 private:
  enum class Kind { kRoot, kField, kIndex, kMapKey };
  Where(const Where* parent, Kind kind, std::string_view name, std::size_t index)
      : parent_(parent), kind_(kind), name_(name), index_(index) {}

  const Where* parent_ = nullptr;
  Kind kind_ = Kind::kRoot;
  std::string_view name_;
  std::size_t index_ = 0;
};

std::unexpected<Error> fail_at(const Where& where, std::string_view message) {
  std::string place = where.str();
  if (place.empty()) return fail(std::string(message));
  return fail(place.append(": ").append(message));
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

// "expected WHAT, got VALUE": a value of the wrong kind or out of range.
std::unexpected<Error> type_error(const Where& where, std::string_view what, dom::element got) {
  return fail_at(where, std::string("expected ").append(what).append(", got ").append(describe(got)));
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

template <class UInt>
constexpr std::string_view unsigned_name() {
  if constexpr (sizeof(UInt) == 1) return "an unsigned 8-bit integer";
  if constexpr (sizeof(UInt) == 2) return "an unsigned 16-bit integer";
  if constexpr (sizeof(UInt) == 4) return "an unsigned 32-bit integer";
}

// A JSON integer (no fraction, no exponent: those parse as doubles) that is
// not negative and fits UInt.
template <class UInt>
Status parse_unsigned(dom::element value, const Where& where, UInt& out) {
  constexpr std::uint64_t kMax = std::numeric_limits<UInt>::max();
  std::uint64_t v = 0;
  switch (value.type()) {
    case dom::element_type::INT64: {
      std::int64_t s = value.get_int64().value_unsafe();
      if (s < 0) return type_error(where, unsigned_name<UInt>(), value);
      v = static_cast<std::uint64_t>(s);
      break;
    }
    case dom::element_type::UINT64: v = value.get_uint64().value_unsafe(); break;
    default: return type_error(where, unsigned_name<UInt>(), value);
  }
  if (v > kMax) return type_error(where, unsigned_name<UInt>(), value);
  out = static_cast<UInt>(v);
  return {};
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

// The fields of one record type, in the order in which missing required
// keys are looked for; the first `required` of them are required.
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

// Walks the fields of `object` in document order. A key seen twice fails,
// listed or not; each listed key's value goes to parse_field(index, value,
// where) at once; unknown keys are skipped. Afterwards the first missing
// required key fails.
template <std::size_t N, class ParseField>
Status walk_object(dom::object object, const Fields<N>& fields, const Where& where, ParseField&& parse_field) {
  static_assert(N <= 32, "seen keys are one bit each");
  std::uint32_t seen = 0;
  // Unknown keys are rare; the set allocates only when one appears.
  std::unordered_set<std::string_view> others;
  std::size_t hint = 0;
  for (dom::key_value_pair field : object) {
    std::size_t i = fields.find(field.key, hint);
    if (i < N) hint = i + 1;
    bool repeated;
    if (i < N) {
      repeated = (seen >> i) & 1u;
      seen |= 1u << i;
    } else {
      repeated = !others.insert(field.key).second;
    }
    if (repeated) {
      std::string message = "duplicate field `";
      append_json_escaped(message, field.key);
      return fail_at(where, message.append("`"));
    }
    if (i < N) {
      if (auto ok = parse_field(i, field.value, where.field(fields.keys[i])); !ok) return ok;
    }
  }
  for (std::size_t i = 0; i < fields.required; ++i) {
    if (!((seen >> i) & 1u)) return fail_at(where, std::string("missing field `").append(fields.keys[i]).append("`"));
  }
  return {};
}

constexpr Fields<17> kTrackFields{
    {"id", "title", "artist", "album", "genre", "key", "audioPath", "analysisPath", "artworkPath", "bpm", "duration",
     "sampleRate", "fileSize", "bitrate", "sampleDepth", "rating", "comment"},
    13};

Status parse_track(dom::element value, const Where& where, Track& track) {
  auto object = as_object(value, where);
  if (!object) return std::unexpected(std::move(object.error()));
  return walk_object(*object, kTrackFields, where, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_unsigned(v, w, track.id);
      case 1: return parse_string(v, w, track.title);
      case 2: return parse_string(v, w, track.artist);
      case 3: return parse_string(v, w, track.album);
      case 4: return parse_string(v, w, track.genre);
      case 5: return parse_string(v, w, track.key);
      case 6: return parse_string(v, w, track.audio_path);
      case 7: return parse_string(v, w, track.analysis_path);
      case 8: return parse_string(v, w, track.artwork_path);
      case 9: return parse_number(v, w, track.bpm);
      case 10: return parse_unsigned(v, w, track.duration);
      case 11: return parse_unsigned(v, w, track.sample_rate);
      case 12: return parse_unsigned(v, w, track.file_size);
      case 13: return parse_unsigned(v, w, track.bitrate);
      case 14: return parse_unsigned(v, w, track.sample_depth);
      case 15: return parse_unsigned(v, w, track.rating);
      default: return parse_string(v, w, track.comment);
    }
  });
}

constexpr Fields<5> kPlaylistFields{{"id", "name", "parentId", "isFolder", "tracks"}, 5};

Status parse_playlist(dom::element value, const Where& where, Playlist& playlist) {
  auto object = as_object(value, where);
  if (!object) return std::unexpected(std::move(object.error()));
  return walk_object(*object, kPlaylistFields, where, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_unsigned(v, w, playlist.id);
      case 1: return parse_string(v, w, playlist.name);
      case 2: return parse_unsigned(v, w, playlist.parent_id);
      case 3: return parse_bool(v, w, playlist.is_folder);
      default: return parse_u32_list(v, w, playlist.tracks);
    }
  });
}

// Records reserved ahead at most: an array of a million "{}" is three bytes
// of request per element but hundreds of bytes per record, and fails at its
// first element; beyond this the vector grows as records are made.
constexpr std::size_t kMaxRecordsReserved = 4096;

template <class Record, class ParseRecord>
Status parse_records(dom::element value, const Where& where, std::vector<Record>& out, ParseRecord parse_record) {
  auto array = as_array(value, where);
  if (!array) return std::unexpected(std::move(array.error()));
  out.clear();
  out.reserve(std::min(array->size(), kMaxRecordsReserved));
  std::size_t i = 0;
  for (dom::element item : *array) {
    if (auto ok = parse_record(item, where.index(i), out.emplace_back()); !ok) return ok;
    ++i;
  }
  return {};
}

// A decimal u32 written as a string: ASCII digits only, at least one,
// leading zeros allowed.
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

// "tempos" is a map: a repeated key is allowed and its later value wins.
Status parse_tempos(dom::element value, const Where& where, std::unordered_map<std::uint32_t, std::uint32_t>& out) {
  auto object = as_object(value, where);
  if (!object) return std::unexpected(std::move(object.error()));
  out.clear();
  out.reserve(object->size());
  for (dom::key_value_pair field : *object) {
    std::uint32_t id = 0;
    if (!parse_decimal_u32(field.key, id)) {
      std::string message = "key \"";
      append_json_escaped(message, field.key);
      return fail_at(where, message.append("\" is not an unsigned 32-bit integer"));
    }
    std::uint32_t tempo = 0;
    if (auto ok = parse_unsigned(field.value, where.map_key(field.key), tempo); !ok) return ok;
    out.insert_or_assign(id, tempo);
  }
  return {};
}

constexpr Fields<8> kRequestFields{
    {"action", "input", "output", "tracks", "playlists", "keepTracks", "keepPlaylists", "tempos"}, 1};

Status parse_request_object(dom::element value, Request& request) {
  Where root;
  auto object = as_object(value, root);
  if (!object) return std::unexpected(std::move(object.error()));
  return walk_object(*object, kRequestFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_optional_string(v, w, request.input);
      case 2: return parse_optional_string(v, w, request.output);
      case 3: return parse_records(v, w, request.tracks, parse_track);
      case 4: return parse_records(v, w, request.playlists, parse_playlist);
      case 5: return parse_optional_u32_list(v, w, request.keep_tracks);
      case 6: return parse_optional_u32_list(v, w, request.keep_playlists);
      default: return parse_tempos(v, w, request.tempos);
    }
  });
}

static_assert(kRequestPadding >= simdjson::SIMDJSON_PADDING);

Result<Request> parse_request_text(std::string_view text, bool padded) {
  if (!simdjson::validate_utf8(text.data(), text.size())) return fail(kInvalidUtf8);
  dom::parser parser;
  dom::element document;
  // Unpadded text is copied by the parser into a padded buffer of its own.
  auto error = parser.parse(text.data(), text.size(), !padded).get(document);
  // A number too big for the parser is still JSON: the text is parsed
  // again with stand-ins for such numbers. Only then is it copied.
  std::optional<BigNumberRewrite> big_numbers;
  if (error == simdjson::NUMBER_ERROR && (big_numbers = rewrite_big_numbers(text))) {
    error = parser.parse(big_numbers->text.data(), big_numbers->text.size(), true).get(document);
  }
  if (error) {
    if (error == simdjson::MEMALLOC || error == simdjson::CAPACITY) {
      return fail(std::string("cannot parse the request: ").append(simdjson::error_message(error)));
    }
    if (error == simdjson::DEPTH_ERROR) {
      if (auto at = find_excess_nesting(text, parser.max_depth())) {
        return fail(std::string("invalid JSON: objects and arrays nested deeper than ")
                        .append(std::to_string(parser.max_depth()))
                        .append(" levels at byte ")
                        .append(std::to_string(*at)));
      }
    }
    auto diagnosis = diagnose_parse_failure(text);
    return fail(std::string("invalid JSON: ").append(diagnosis ? *diagnosis : simdjson::error_message(error)));
  }
  ScopedBigNumbers scoped_big_numbers(big_numbers ? &*big_numbers : nullptr);
  Request request;
  if (auto ok = parse_request_object(document, request); !ok) return std::unexpected(std::move(ok.error()));
  return request;
}

}  // namespace

Result<Request> parse_request(std::string_view text) { return parse_request_text(text, false); }

Result<Request> parse_request_padded(std::string_view text) { return parse_request_text(text, true); }

}  // namespace dovrel
