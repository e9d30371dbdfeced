#include "build.h"

#include <cmath>
#include <string>
#include <unordered_map>

#include "artwork.h"
#include "blank_image.h"
#include "vantrel_pdb/database.h"
#include "vantrel_pdb/editor.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/playlist_rows.h"
#include "vantrel_pdb/track.h"

namespace dovrel {

namespace {

using IdMap = std::unordered_map<std::uint32_t, std::uint32_t>;
namespace kind = vantrel_pdb::table_kind;

vantrel_pdb::NewTrack new_track_for(const Track& t) {
  vantrel_pdb::NewTrack nt(t.title, t.audio_path);
  nt.comment = t.comment;
  nt.analysis_path = t.analysis_path;
  // The four names are always given, an empty one included.
  nt.artist = t.artist;
  nt.album = t.album;
  nt.genre = t.genre;
  nt.key = t.key;
  nt.tempo = tempo_from_bpm(t.bpm);
  nt.bitrate = t.bitrate;
  nt.sample_rate = t.sample_rate;
  nt.file_size = t.file_size;
  nt.duration = t.duration;
  nt.sample_depth = t.sample_depth;
  nt.rating = t.rating;
  return nt;
}

// Creates the playlists parents first: each pass creates, in list order,
// those whose parent already exists and defers the rest.
Result<IdMap> create_playlists(vantrel_pdb::PdbEditor& editor, const std::vector<Playlist>& playlists,
                               const IdMap& track_ids) {
  IdMap playlist_ids{{0, 0}};
  playlist_ids.reserve(playlists.size() + 1);
  std::vector<const Playlist*> working;
  working.reserve(playlists.size());
  for (const Playlist& p : playlists) working.push_back(&p);
  while (!working.empty()) {
    std::vector<const Playlist*> deferred;
    for (const Playlist* p : working) {
      auto parent = playlist_ids.find(p->parent_id);
      if (parent == playlist_ids.end()) {
        deferred.push_back(p);
        continue;
      }
      if (playlist_ids.contains(p->id)) return fail("Duplicate playlist ID");
      auto id = editor.create_playlist(p->name, parent->second, p->is_folder);
      if (!id) return std::unexpected(Error(id.error()));
      std::uint32_t entry_index = 1;
      for (std::uint32_t track : p->tracks) {
        auto editor_track = track_ids.find(track);
        if (editor_track == track_ids.end()) return fail("Playlist references absent track");
        auto added = editor.add_to_playlist(*id, editor_track->second, entry_index++);
        if (!added) return std::unexpected(Error(added.error()));
      }
      playlist_ids.emplace(p->id, *id);
    }
    if (deferred.size() == working.size()) return fail("Playlist parent cycle or missing parent");
    working = std::move(deferred);
  }
  return playlist_ids;
}

IdMap inverted(const IdMap& map) {
  IdMap out;
  out.reserve(map.size());
  for (const auto& [request_id, editor_id] : map) out.emplace(editor_id, request_id);
  return out;
}

// Rewrites the u32 at `pos` through `map`; every id was handed out by this build.
Result<void> translate(std::vector<std::uint8_t>& image, std::uint64_t pos, const IdMap& map) {
  if (!vantrel_pdb::in_bounds(image, pos, 4)) return fail("internal error: row outside the built image");
  auto found = map.find(vantrel_pdb::decode_fixed32(image.data() + pos));
  if (found == map.end()) return fail("internal error: built row names an id the build did not give");
  vantrel_pdb::encode_fixed32(image.data() + pos, found->second);
  return {};
}

}  // namespace

std::optional<std::uint16_t> file_type_for_path(std::string_view audio_path) {
  auto dot = audio_path.rfind('.');
  std::string ext(dot == std::string_view::npos ? audio_path : audio_path.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  static const std::unordered_map<std::string, std::uint16_t> kFileTypes = {
      {"mp3", 1}, {"m4a", 4}, {"aac", 4}, {"flac", 5}, {"alac", 6}, {"wav", 11}, {"aif", 12}, {"aiff", 12}};
  auto found = kFileTypes.find(ext);
  if (found == kFileTypes.end()) return std::nullopt;
  return found->second;
}

std::uint32_t tempo_from_bpm(double bpm) {
  double hundredths = std::round(bpm * 100.0);  // halves away from zero
  if (!(hundredths > 0)) return 0;               // negative, zero and NaN
  if (hundredths >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(hundredths);
}

Result<std::vector<std::uint8_t>> build(const Request& request) {
  auto editor = vantrel_pdb::PdbEditor::from_bytes(make_blank_image());

  IdMap track_ids;
  track_ids.reserve(request.tracks.size());
  for (const Track& t : request.tracks) {
    if (track_ids.contains(t.id)) return fail("Duplicate track ID");
    auto id = editor.add_track(new_track_for(t));
    if (!id) return std::unexpected(Error(id.error()));
    track_ids.emplace(t.id, *id);
  }
  auto playlist_ids = create_playlists(editor, request.playlists, track_ids);
  if (!playlist_ids) return std::unexpected(playlist_ids.error());

  std::vector<std::uint8_t> image = std::move(editor).into_bytes();
  auto db = vantrel_pdb::Database::from_bytes(image);
  if (!db) return std::unexpected(Error(db.error()));

  // The k-th track row is the k-th request track: rows are appended in call
  // order and listed in chain and slot order.
  auto track_rows = db->row_locations(kind::tracks);
  if (track_rows.size() < request.tracks.size()) return fail("internal error: built image lost track rows");
  for (std::size_t k = 0; k < request.tracks.size(); ++k) {
    const Track& t = request.tracks[k];
    vantrel_pdb::encode_fixed32(image.data() + track_rows[k] + vantrel_pdb::track_row::kIdOffset, t.id);
    auto file_type = file_type_for_path(t.audio_path);
    if (!file_type) return fail("Unsupported audio extension");
    vantrel_pdb::encode_fixed16(image.data() + track_rows[k] + vantrel_pdb::track_row::kFileTypeOffset, *file_type);
  }

  const IdMap request_track_ids = inverted(track_ids);
  const IdMap request_playlist_ids = inverted(*playlist_ids);
  namespace entry = vantrel_pdb::entry_row;
  namespace tree = vantrel_pdb::playlist_tree_row;
  for (std::uint64_t row : db->row_locations(kind::playlist_entries)) {
    if (auto ok = translate(image, row + entry::kTrackIdOffset, request_track_ids); !ok) return std::unexpected(ok.error());
    if (auto ok = translate(image, row + entry::kPlaylistIdOffset, request_playlist_ids); !ok) {
      return std::unexpected(ok.error());
    }
  }
  for (std::uint64_t row : db->row_locations(kind::playlist_tree)) {
    if (auto ok = translate(image, row + tree::kParentIdOffset, request_playlist_ids); !ok) {
      return std::unexpected(ok.error());
    }
    if (auto ok = translate(image, row + tree::kIdOffset, request_playlist_ids); !ok) return std::unexpected(ok.error());
  }

  if (auto ok = add_artwork(image, request.tracks); !ok) return std::unexpected(ok.error());
  return image;
}

}  // namespace dovrel
