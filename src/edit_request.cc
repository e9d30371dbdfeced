#include "edit_request.h"

#include <string>
#include <string_view>
#include <utility>

#include "json_writer.h"

namespace dovrel {

namespace {

using namespace request_json;  // NOLINT: the readers this file is made of
using Op = EditChange::Op;

constexpr Fields<5> kEditFields{{"action", "changes", "input", "output", "report"}, 2};

constexpr Fields<2> kTracksFields{{"op", "tracks"}, 2};
constexpr Fields<19> kSetTrackFields{
    {"op", "id", "title", "artist", "album", "genre", "key", "audioPath", "analysisPath", "artworkPath", "bpm",
     "duration", "sampleRate", "fileSize", "bitrate", "sampleDepth", "rating", "comment", "label"},
    2};
constexpr Fields<2> kIdsFields{{"op", "ids"}, 2};
constexpr Fields<2> kPlaylistsFields{{"op", "playlists"}, 2};
constexpr Fields<3> kRenameFields{{"op", "id", "name"}, 3};
constexpr Fields<4> kMoveFields{{"op", "id", "parentId", "position"}, 3};
constexpr Fields<3> kSetTracksFields{{"op", "id", "tracks"}, 3};

// The ops by name.
struct OpName {
  std::string_view name;
  Op op;
};
constexpr OpName kOps[] = {{"addTracks", Op::kAddTracks},
                           {"setTrack", Op::kSetTrack},
                           {"removeTracks", Op::kRemoveTracks},
                           {"addPlaylists", Op::kAddPlaylists},
                           {"renamePlaylist", Op::kRenamePlaylist},
                           {"movePlaylist", Op::kMovePlaylist},
                           {"setPlaylistTracks", Op::kSetPlaylistTracks},
                           {"removePlaylists", Op::kRemovePlaylists}};

template <class T>
Status parse_optional_unsigned(dom::element value, const Where& where, std::optional<T>& out) {
  return parse_unsigned(value, where, out.emplace());
}

Status parse_set_track(dom::object object, const Where& where, EditChange& change) {
  TrackUpdate& t = change.track;
  return walk_object(
      object, kSetTrackFields, where,
      [&](std::size_t i, dom::element v, const Where& w) -> Status {
        switch (i) {
          case 0: return {};
          case 1: return parse_unsigned(v, w, change.id);
          case 2: return parse_string(v, w, t.title.emplace());
          case 3: return parse_string(v, w, t.artist.emplace());
          case 4: return parse_string(v, w, t.album.emplace());
          case 5: return parse_string(v, w, t.genre.emplace());
          case 6: return parse_string(v, w, t.key.emplace());
          case 7: return parse_string(v, w, t.audio_path.emplace());
          case 8: return parse_string(v, w, t.analysis_path.emplace());
          case 9: return parse_string(v, w, t.artwork_path.emplace());
          case 10: return parse_number(v, w, t.bpm.emplace());
          case 11: return parse_optional_unsigned(v, w, t.duration);
          case 12: return parse_optional_unsigned(v, w, t.sample_rate);
          case 13: return parse_optional_unsigned(v, w, t.file_size);
          case 14: return parse_optional_unsigned(v, w, t.bitrate);
          case 15: return parse_optional_unsigned(v, w, t.sample_depth);
          case 16: return parse_optional_unsigned(v, w, t.rating);
          case 17: return parse_string(v, w, t.comment.emplace());
          default: return parse_string(v, w, t.label.emplace());
        }
      },
      UnknownKeys::kRefuse);
}

// The fields of one change after its "op", which says which they are.
Status parse_fields(dom::object object, const Where& where, EditChange& change) {
  const auto strict = UnknownKeys::kRefuse;
  switch (change.op) {
    case Op::kAddTracks:
      return walk_object(
          object, kTracksFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            return i == 0 ? Status{} : parse_records(v, w, change.tracks, parse_track);
          },
          strict);
    case Op::kSetTrack: return parse_set_track(object, where, change);
    case Op::kRemoveTracks:
    case Op::kRemovePlaylists:
      return walk_object(
          object, kIdsFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            return i == 0 ? Status{} : parse_u32_list(v, w, change.ids);
          },
          strict);
    case Op::kAddPlaylists:
      return walk_object(
          object, kPlaylistsFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            return i == 0 ? Status{} : parse_records(v, w, change.playlists, parse_playlist);
          },
          strict);
    case Op::kRenamePlaylist:
      return walk_object(
          object, kRenameFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            if (i == 0) return {};
            return i == 1 ? parse_unsigned(v, w, change.id) : parse_string(v, w, change.name);
          },
          strict);
    case Op::kMovePlaylist:
      return walk_object(
          object, kMoveFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            switch (i) {
              case 0: return {};
              case 1: return parse_unsigned(v, w, change.id);
              case 2: return parse_unsigned(v, w, change.parent_id);
              default: return parse_optional_unsigned(v, w, change.position);
            }
          },
          strict);
    case Op::kSetPlaylistTracks:
      return walk_object(
          object, kSetTracksFields, where,
          [&](std::size_t i, dom::element v, const Where& w) -> Status {
            if (i == 0) return {};
            return i == 1 ? parse_unsigned(v, w, change.id) : parse_u32_list(v, w, change.ids);
          },
          strict);
  }
  return {};
}

Status parse_change(dom::element value, const Where& where, EditChange& change) {
  auto object = as_object(value, where);
  if (!object) return std::unexpected(std::move(object.error()));
  // The op first, wherever it stands: it says which keys the change takes.
  std::optional<dom::element> op;
  for (dom::key_value_pair field : *object) {
    if (field.key == "op") {
      op = field.value;
      break;
    }
  }
  if (!op) return fail_at(where, "missing field `op`");
  std::string name;
  if (auto ok = parse_string(*op, where.field("op"), name); !ok) return ok;
  const OpName* found = nullptr;
  for (const OpName& known : kOps) {
    if (known.name == name) found = &known;
  }
  if (!found) {
    std::string message = "unknown op \"";
    append_json_escaped(message, name);
    return fail_at(where, message.append("\""));
  }
  change.op = found->op;
  return parse_fields(*object, where, change);
}

}  // namespace

Status read_edit_request(dom::object object, const Where& root, Request& request) {
  return walk_object(object, kEditFields, root, [&](std::size_t i, dom::element v, const Where& w) -> Status {
    switch (i) {
      case 0: return parse_string(v, w, request.action);
      case 1: return parse_records(v, w, request.changes, parse_change);
      case 2: return parse_optional_string(v, w, request.input);
      case 3: return parse_optional_string(v, w, request.output);
      default: return parse_report(v, w, request.report);
    }
  });
}

}  // namespace dovrel
