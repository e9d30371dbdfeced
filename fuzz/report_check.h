// Checks of what the tool prints, shared by the fuzz targets: an error is one
// non-empty line of valid UTF-8; a report is one line of compact JSON whose
// objects keep their keys in ascending byte order and whose strings escape
// only what JSON requires, in the tool's forms.
#ifndef DOVREL_FUZZ_REPORT_CHECK_H_
#define DOVREL_FUZZ_REPORT_CHECK_H_

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"

namespace dovrel::fuzz {

// Aborts unless `message` is a printable error line: not empty, valid UTF-8,
// no line break.
inline void check_error_line(std::string_view message) {
  check(!message.empty(), "empty error message");
  check(message.find_first_of("\r\n") == std::string_view::npos, "error message spans lines", message);
  check(simdjson::validate_utf8(message.data(), message.size()), "error message is not valid UTF-8");
}

namespace report_detail {

inline bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Scans the JSON text byte by byte: no whitespace outside strings, numbers
// without exponents, and inside strings only \" \\ \b \f \n \r \t and
// \u00xx (lowercase hex, for the other control characters) as escapes.
inline void check_compact_and_escapes(std::string_view json) {
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    if (!in_string) {
      check(c != ' ' && c != '\t' && c != '\n' && c != '\r', "report is not compact", json.substr(0, i + 1));
      if (c == '"') in_string = true;
      if (c == '-' || (c >= '0' && c <= '9')) {
        // Numbers are plain decimals: never an exponent.
        std::size_t end = json.find_first_not_of("-+.0123456789eE", i);
        std::string_view token = json.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
        check(token.find_first_of("eE") == std::string_view::npos, "number with an exponent in the report", token);
        i += token.size() - 1;
      }
      continue;
    }
    if (c == '"') {
      in_string = false;
    } else if (c == '\\') {
      check(i + 1 < json.size(), "report ends inside an escape");
      const char e = json[++i];
      if (e == 'u') {
        check(i + 4 < json.size(), "report ends inside a \\u escape");
        const std::string_view hex = json.substr(i + 1, 4);
        check(hex[0] == '0' && hex[1] == '0' && is_lower_hex(hex[2]) && is_lower_hex(hex[3]),
              "\\u escape for a character that needs none, or uppercase hex", hex);
        const int v = std::stoi(std::string(hex), nullptr, 16);
        check(v < 0x20 && v != '\b' && v != '\f' && v != '\n' && v != '\r' && v != '\t',
              "\\u escape where a short escape or no escape belongs", hex);
        i += 4;
      } else {
        check(e == '"' || e == '\\' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't',
              "unexpected escape in the report", std::string_view(&e, 1));
      }
    }
  }
}

inline void check_sorted_keys(simdjson::dom::element element) {
  if (element.is_array()) {
    for (simdjson::dom::element child : element.get_array().value_unsafe()) check_sorted_keys(child);
    return;
  }
  if (!element.is_object()) return;
  std::string previous;
  bool first = true;
  for (auto field : element.get_object().value_unsafe()) {
    std::string key(field.key);
    check(first || previous < key, "report keys are not in ascending byte order", key);
    previous = std::move(key);
    first = false;
    check_sorted_keys(field.value);
  }
}

}  // namespace report_detail

// Aborts unless `line` is a report line; returns its parsed root object,
// valid until `parser` parses again.
inline simdjson::dom::object check_report_line(simdjson::dom::parser& parser, std::string_view line) {
  check(!line.empty() && line.back() == '\n', "report does not end in a line feed");
  const std::string_view json = line.substr(0, line.size() - 1);
  check(simdjson::validate_utf8(json.data(), json.size()), "report is not valid UTF-8");
  report_detail::check_compact_and_escapes(json);
  simdjson::dom::element root;
  auto error = parser.parse(json.data(), json.size()).get(root);
  check(!error, "report is not valid JSON", simdjson::error_message(error));
  report_detail::check_sorted_keys(root);
  simdjson::dom::object object;
  check(!root.get_object().get(object), "report is not a JSON object");
  check(object.size() == 3, "report has other keys than playlists, tracks and version");
  std::uint64_t version = 0;
  check(!object["version"].get_uint64().get(version) && version == 1, "report version is not 1");
  simdjson::dom::array tracks, playlists;
  check(!object["tracks"].get_array().get(tracks), "report tracks is not an array");
  check(!object["playlists"].get_array().get(playlists), "report playlists is not an array");
  for (simdjson::dom::element track : tracks) {
    check(track.is_object() && track.get_object().value_unsafe().size() == 17, "report track has not 17 keys");
    check(track["bpm"].is_double(), "bpm printed without a fractional part");
  }
  for (simdjson::dom::element playlist : playlists) {
    check(playlist.is_object() && playlist.get_object().value_unsafe().size() == 5, "report playlist has not 5 keys");
  }
  return object;
}

}  // namespace dovrel::fuzz

#endif  // DOVREL_FUZZ_REPORT_CHECK_H_
