#include "request.h"

#include <simdjson.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "big_numbers.h"
#include "check_request.h"
#include "edit_request.h"
#include "json_writer.h"
#include "parse_diagnosis.h"
#include "request_json.h"
#include "request_one_pass.h"
#include "request_readers.h"

namespace dovrel {

namespace {

using namespace request_json;  // NOLINT: the readers this file is made of

constexpr char kInvalidUtf8[] = "stream did not contain valid UTF-8";

}  // namespace

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
      case 16: return parse_string(v, w, track.comment);
      default: return parse_string(v, w, track.label.emplace());
    }
  });
}

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

namespace {

// "tempos" is a map: a repeated key is allowed and its later value wins.
Status parse_tempos(dom::element value, const Where& where, vantrel_pdb::TempoMap& out) {
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

}  // namespace

// "report": "full" or "summary". Only build, patch and edit read it; the
// others skip it as any key they do not use.
Status parse_report(dom::element value, const Where& where, ReportKind& out) {
  if (value.type() == dom::element_type::STRING) {
    const std::string_view kind = value.get_string().value_unsafe();
    if (kind == "full") {
      out = ReportKind::kFull;
      return {};
    }
    if (kind == "summary") {
      out = ReportKind::kSummary;
      return {};
    }
  }
  return type_error(where, "\"full\" or \"summary\"", value);
}

namespace {

// The reader of the request of an action that came after read, build and
// patch, or null for those three (and for a request without a known action),
// whose keys are kRequestFields. Each newer action reads its own keys, so
// that a request for one action skips the keys of another as it skips any
// key it does not know.
RequestReader newer_action_reader(std::string_view action) {
  if (action == "scan") return parse_scan_request;
  if (action == "export") return parse_export_request;
  if (action == "check") return read_check_request;
  if (action == "salvage") return read_salvage_request;
  if (action == "edit") return read_edit_request;
  return nullptr;
}

// The value of the first "action" key, when it is a string; "" otherwise
// (the walk then reports what is wrong with it).
std::string_view peek_action(dom::object object) {
  for (dom::key_value_pair field : object) {
    if (field.key != "action") continue;
    if (field.value.type() != dom::element_type::STRING) return {};
    return field.value.get_string().value_unsafe();
  }
  return {};
}

// `text_size`: the bytes of the request, which bound its number of tracks.
Status parse_request_object(dom::element value, std::size_t text_size, Request& request) {
  Where root;
  auto object = as_object(value, root);
  if (!object) return std::unexpected(std::move(object.error()));
  const std::string_view action = peek_action(*object);
  if (RequestReader reader = newer_action_reader(action)) return reader(*object, root, request);
  const bool reads_report = action == "build" || action == "patch";
  return walk_object(*object, kRequestFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_optional_string(v, w, request.input);
      case 2: return parse_optional_string(v, w, request.output);
      case 3:
        return parse_records(v, w, request.tracks, parse_track, tracks_reserved(text_size));
      case 4: return parse_records(v, w, request.playlists, parse_playlist);
      case 5: return parse_optional_u32_list(v, w, request.keep_tracks);
      case 6: return parse_optional_u32_list(v, w, request.keep_playlists);
      case 7: return parse_tempos(v, w, request.tempos);
      default: return reads_report ? parse_report(v, w, request.report) : Status{};
    }
  });
}

static_assert(kRequestPadding >= simdjson::SIMDJSON_PADDING);

// Parses `text`, followed by kRequestPadding readable bytes, into a request.
// `release_text` is called once the text is no longer needed: after the one
// pass has read it, or after a successful parse into the document, before
// the document is read into the request, so that a large request's text,
// the parser's index of it, the document and the records read from it are
// never all in memory at once.
// `one_pass`: a build is tried without a document first.
template <class ReleaseText>
Result<Request> parse_request_text(std::string_view text, bool one_pass, ReleaseText release_text) {
  if (!simdjson::validate_utf8(text.data(), text.size())) return fail(kInvalidUtf8);
  // A build's records are read without a document when the request has no
  // fault; any other request, and any fault, is read with the document,
  // which gives the exact message.
  if (one_pass) {
    if (std::optional<Request> request = read_build_in_one_pass(text)) {
      release_text();
      return std::move(*request);
    }
  }
  // The document lives apart from the parser, which goes once the text is
  // parsed: its index of the text is as large as the text.
  dom::document document;
  std::optional<BigNumberRewrite> big_numbers;
  const std::size_t text_size = text.size();
  {
    dom::parser parser;
    dom::element root;
    auto error = parser.parse_into_document(document, text.data(), text.size(), false).get(root);
    // A number too big for the parser is still JSON: the text is parsed
    // again with stand-ins for such numbers. Only then is it copied.
    if (error == simdjson::NUMBER_ERROR && (big_numbers = rewrite_big_numbers(text))) {
      error = parser.parse_into_document(document, big_numbers->text.data(), big_numbers->text.size(), true).get(root);
    }
    if (error) {
      // The parser's allocation failure is the process's: main says "out of memory".
      if (error == simdjson::MEMALLOC) throw std::bad_alloc();
      if (error == simdjson::CAPACITY) {
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
  }
  // The document holds its strings (and the stand-ins' table their texts):
  // the text and its rewrite are not read again.
  release_text();
  if (big_numbers) std::string().swap(big_numbers->text);
  ScopedBigNumbers scoped_big_numbers(big_numbers ? &*big_numbers : nullptr);
  Request request;
  if (auto ok = parse_request_object(document.root(), text_size, request); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return request;
}

// `text` copied, with room for the padding after it.
std::vector<std::uint8_t> copy_of(std::string_view text) {
  std::vector<std::uint8_t> copy;
  copy.reserve(text.size() + kRequestPadding);
  copy.assign(text.begin(), text.end());
  return copy;
}

}  // namespace

Result<Request> parse_request(std::string_view text) { return parse_request_taking(copy_of(text)); }

Result<Request> parse_request_taking(std::vector<std::uint8_t> input) {
  // Zero padding after the text lets the parser read it where it stands.
  const std::size_t size = input.size();
  input.resize(size + kRequestPadding);
  const std::string_view text(reinterpret_cast<const char*>(input.data()), size);
  return parse_request_text(text, true, [&input] { std::vector<std::uint8_t>().swap(input); });
}

Result<Request> parse_request_with_document(std::string_view text) {
  std::vector<std::uint8_t> copy = copy_of(text);
  copy.resize(text.size() + kRequestPadding);
  return parse_request_text(std::string_view(reinterpret_cast<const char*>(copy.data()), text.size()), false, [] {});
}

}  // namespace dovrel
