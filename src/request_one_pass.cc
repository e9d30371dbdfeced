#include "request_one_pass.h"

#include <simdjson.h>

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>

#include "request_readers.h"

namespace dovrel {

namespace {

namespace od = simdjson::ondemand;

// Nesting a skipped value may have here; a deeper one goes to the general
// reader, whose parser bounds nesting itself.
constexpr int kMaxSkippedDepth = 64;

// The contents of the string whose first byte is at `begin`, when it holds
// no escape: up to its closing quote, which the parser's first pass has
// found before `end`. False for a string with an escape.
bool plain_text(const char* begin, const char* end, std::string_view& out) {
  for (const char* p = begin; p < end; ++p) {
    if (*p == '"') {
      out = std::string_view(begin, static_cast<std::size_t>(p - begin));
      return true;
    }
    if (*p == '\\') return false;
  }
  return false;
}

// The readers of one value each. Each reads its value whole or returns
// false; false means the general reader takes over, so none of them needs
// to say why.
class OnePass {
 public:
  explicit OnePass(std::string_view text) : end_(text.data() + text.size()) {}

  bool read_string(od::value value, std::string& out) {
    // The token runs from the opening quote to the next structural byte, so
    // it holds the closing quote.
    const std::string_view token = value.raw_json_token();
    if (token.empty() || token.front() != '"') return false;
    std::string_view text;
    if (plain_text(token.data() + 1, token.data() + token.size(), text)) {
      // Copied from the request's own bytes, without the parser's buffer.
      od::raw_json_string consumed;
      if (value.get_raw_json_string().get(consumed)) return false;
      out.assign(text);
      return true;
    }
    std::string_view unescaped;
    if (value.get_string().get(unescaped)) return false;
    out.assign(unescaped);
    return true;
  }

  bool read_optional_string(od::value value, std::optional<std::string>& out) {
    od::json_type type;
    if (value.type().get(type)) return false;
    if (type == od::json_type::null) {
      bool is_null = false;
      if (value.is_null().get(is_null) || !is_null) return false;
      out.reset();
      return true;
    }
    return read_string(value, out.emplace());
  }

  // A JSON integer, not negative, that fits UInt.
  template <class UInt>
  bool read_unsigned(od::value value, UInt& out) {
    std::uint64_t number = 0;
    if (value.get_uint64().get(number) || number > std::uint64_t{std::numeric_limits<UInt>::max()}) return false;
    out = static_cast<UInt>(number);
    return true;
  }

  // Any number, integers converted as the general reader converts them.
  // The type first, then the value by its own getter: get_number() gives 0
  // for a decimal of more digits than a 64-bit integer holds.
  bool read_number(od::value value, double& out) {
    od::number_type type;
    if (value.get_number_type().get(type)) return false;
    switch (type) {
      case od::number_type::signed_integer: {
        std::int64_t n = 0;
        if (value.get_int64().get(n)) return false;
        out = static_cast<double>(n);
        return true;
      }
      case od::number_type::unsigned_integer: {
        std::uint64_t n = 0;
        if (value.get_uint64().get(n)) return false;
        out = static_cast<double>(n);
        return true;
      }
      case od::number_type::floating_point_number: return !value.get_double().get(out);
      default: return false;
    }
  }

  bool read_bool(od::value value, bool& out) { return !value.get_bool().get(out); }

  bool read_u32_list(od::value value, std::vector<std::uint32_t>& out) {
    od::array array;
    if (value.get_array().get(array)) return false;
    for (auto item : array) {
      od::value element;
      std::uint32_t id = 0;
      if (item.get(element) || !read_unsigned(element, id)) return false;
      out.push_back(id);
    }
    return true;
  }

  // Reads a value no record field takes, to the end, so that the request is
  // known to be valid JSON; nested objects may repeat keys, as they may for
  // the general reader.
  bool skip_value(od::value value, int depth) {
    od::json_type type;
    if (value.type().get(type)) return false;
    switch (type) {
      case od::json_type::array: {
        od::array array;
        if (depth >= kMaxSkippedDepth || value.get_array().get(array)) return false;
        for (auto item : array) {
          od::value element;
          if (item.get(element) || !skip_value(element, depth + 1)) return false;
        }
        return true;
      }
      case od::json_type::object: {
        od::object object;
        if (depth >= kMaxSkippedDepth || value.get_object().get(object)) return false;
        for (auto item : object) {
          od::field field;
          std::string_view key;
          if (std::move(item).get(field) || field.unescaped_key().get(key) || !skip_value(field.value(), depth + 1)) {
            return false;
          }
        }
        return true;
      }
      case od::json_type::number: {
        od::number number;
        return !value.get_number().get(number);
      }
      case od::json_type::string: {
        std::string_view text;
        return !value.get_string().get(text);
      }
      case od::json_type::boolean: {
        bool flag = false;
        return read_bool(value, flag);
      }
      case od::json_type::null: {
        bool is_null = false;
        return !value.is_null().get(is_null) && is_null;
      }
    }
    return false;
  }

  // The fields of `value`, an object, in document order, as the general
  // reader's walk takes them: a listed key goes to read_field(index, value),
  // another is skipped; a repeated key or a missing required one fails.
  template <std::size_t N, class ReadField>
  bool walk(od::value value, const request_json::Fields<N>& fields, ReadField&& read_field) {
    od::object object;
    if (value.get_object().get(object)) return false;
    return walk(object, fields, read_field);
  }

  template <std::size_t N, class ReadField>
  bool walk(od::object& object, const request_json::Fields<N>& fields, ReadField&& read_field) {
    std::uint64_t seen = 0;
    std::unordered_set<std::string_view> others;
    std::size_t hint = 0;
    for (auto item : object) {
      od::field field;
      std::string_view key;
      // A key written with escapes is left to the general reader.
      if (std::move(item).get(field) || !plain_text(field.key().raw(), end_, key)) return false;
      const std::size_t i = fields.find(key, hint);
      if (i < N) {
        hint = i + 1;
        if ((seen >> i) & 1u) return false;
        seen |= std::uint64_t{1} << i;
        if (!read_field(i, field.value())) return false;
      } else if (!others.insert(key).second || !skip_value(field.value(), 1)) {
        return false;
      }
    }
    for (std::size_t i = 0; i < fields.required; ++i) {
      if (!((seen >> i) & 1u)) return false;
    }
    return true;
  }

  bool read_track(od::value value, Track& track) {
    return walk(value, kTrackFields, [&](std::size_t i, od::value v) {
      switch (i) {
        case 0: return read_unsigned(v, track.id);
        case 1: return read_string(v, track.title);
        case 2: return read_string(v, track.artist);
        case 3: return read_string(v, track.album);
        case 4: return read_string(v, track.genre);
        case 5: return read_string(v, track.key);
        case 6: return read_string(v, track.audio_path);
        case 7: return read_string(v, track.analysis_path);
        case 8: return read_string(v, track.artwork_path);
        case 9: return read_number(v, track.bpm);
        case 10: return read_unsigned(v, track.duration);
        case 11: return read_unsigned(v, track.sample_rate);
        case 12: return read_unsigned(v, track.file_size);
        case 13: return read_unsigned(v, track.bitrate);
        case 14: return read_unsigned(v, track.sample_depth);
        case 15: return read_unsigned(v, track.rating);
        case 16: return read_string(v, track.comment);
        default: return read_string(v, track.label.emplace());
      }
    });
  }

  bool read_playlist(od::value value, Playlist& playlist) {
    return walk(value, kPlaylistFields, [&](std::size_t i, od::value v) {
      switch (i) {
        case 0: return read_unsigned(v, playlist.id);
        case 1: return read_string(v, playlist.name);
        case 2: return read_unsigned(v, playlist.parent_id);
        case 3: return read_bool(v, playlist.is_folder);
        default: return read_u32_list(v, playlist.tracks);
      }
    });
  }

  template <class Record, class ReadRecord>
  bool read_records(od::value value, std::vector<Record>& out, std::size_t reserved, ReadRecord read_record) {
    od::array array;
    if (value.get_array().get(array)) return false;
    out.reserve(reserved);
    for (auto item : array) {
      od::value element;
      if (item.get(element) || !(this->*read_record)(element, out.emplace_back())) return false;
    }
    return true;
  }

  // The tracks, to `out` or in batches to `sink` when there is one.
  bool read_tracks(od::value value, std::vector<Track>& out, std::size_t reserved, const TrackBatchSink* sink) {
    if (sink == nullptr) return read_records(value, out, reserved, &OnePass::read_track);
    const char* start = value.raw_json_token().data();
    od::array array;
    if (value.get_array().get(array)) return false;
    std::vector<Track> batch;
    batch.reserve(kTrackBatch);
    for (auto item : array) {
      od::value element;
      if (item.get(element)) return false;
      const std::string_view token = element.raw_json_token();
      if (!read_track(element, batch.emplace_back())) return false;
      if (batch.size() == kTrackBatch) {
        // The last track's opening brace, a close enough end of the batch.
        (*sink)(std::move(batch), static_cast<std::size_t>(token.data() - start));
        batch = {};
        batch.reserve(kTrackBatch);
      }
    }
    if (!batch.empty()) (*sink)(std::move(batch), static_cast<std::size_t>(end_ - start));
    return true;
  }

  bool read_report(od::value value, ReportKind& out) {
    std::string kind;
    if (!read_string(value, kind)) return false;
    if (kind == "full") {
      out = ReportKind::kFull;
    } else if (kind == "summary") {
      out = ReportKind::kSummary;
    } else {
      return false;
    }
    return true;
  }

 private:
  const char* end_;
};

}  // namespace

std::optional<Request> read_build_in_one_pass(std::string_view text, const TrackBatchSink* sink) {
  od::parser parser;
  od::document document;
  od::object root;
  if (parser.iterate(text.data(), text.size(), text.size() + kRequestPadding).get(document) ||
      document.get_object().get(root)) {
    return std::nullopt;
  }
  OnePass pass(text);
  Request request;
  const bool read = pass.walk(root, kRequestFields, [&](std::size_t i, od::value v) {
    switch (i) {
      case 0: return pass.read_string(v, request.action);
      case 1: return pass.read_optional_string(v, request.input);
      case 2: return pass.read_optional_string(v, request.output);
      case 3: return pass.read_tracks(v, request.tracks, tracks_reserved(text.size()), sink);
      case 4: return pass.read_records(v, request.playlists, 0, &OnePass::read_playlist);
      case 8: return pass.read_report(v, request.report);
      // "keepTracks", "keepPlaylists" and "tempos", which a build does not use.
      default: return false;
    }
  });
  // Anything after the object is not JSON: the document must be at its end.
  const char* after = nullptr;
  if (!read || request.action != "build" || document.current_location().get(after) != simdjson::OUT_OF_BOUNDS) {
    return std::nullopt;
  }
  return request;
}

}  // namespace dovrel
