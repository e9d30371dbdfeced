#include "build.h"

#include <cmath>
#include <string>
#include <unordered_map>

#include "artwork.h"
#include "vantrel_pdb/blank_image.h"
#include "id_map.h"
#include "table_rows.h"
#include "vantrel_pdb/editor.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/playlist_rows.h"
#include "vantrel_pdb/track.h"

namespace dovrel {

namespace {

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
  std::vector<std::uint32_t> ids{0};
  ids.reserve(playlists.size() + 1);
  for (const Playlist& p : playlists) ids.push_back(p.id);
  IdMap playlist_ids(IdMap::dense_bound_for(ids));
  playlist_ids.emplace(0, 0);  // "parentId" 0 is the top level
  std::vector<const Playlist*> working;
  working.reserve(playlists.size());
  for (const Playlist& p : playlists) working.push_back(&p);
  while (!working.empty()) {
    std::vector<const Playlist*> deferred;
    for (const Playlist* p : working) {
      auto parent = playlist_ids.find(p->parent_id);
      if (!parent) {
        deferred.push_back(p);
        continue;
      }
      if (playlist_ids.contains(p->id)) return fail("Duplicate playlist ID");
      auto id = editor.create_playlist(p->name, *parent, p->is_folder);
      if (!id) return std::unexpected(Error(id.error()));
      std::uint32_t entry_index = 1;
      for (std::uint32_t track : p->tracks) {
        auto editor_track = track_ids.find(track);
        if (!editor_track) return fail("Playlist references absent track");
        auto added = editor.add_to_playlist(*id, *editor_track, entry_index++);
        if (!added) return std::unexpected(Error(added.error()));
      }
      playlist_ids.emplace(p->id, *id);
    }
    if (deferred.size() == working.size()) return fail("Playlist parent cycle or missing parent");
    working = std::move(deferred);
  }
  return playlist_ids;
}

// Rewrites the u32 at `pos` through `map`; every id was handed out by this build.
Result<void> translate(std::vector<std::uint8_t>& image, std::uint64_t pos, const IdMap& map) {
  if (!vantrel_pdb::in_bounds(image, pos, 4)) return fail("internal error: row outside the built image");
  auto found = map.find(vantrel_pdb::decode_fixed32(image.data() + pos));
  if (!found) return fail("internal error: built row names an id the build did not give");
  vantrel_pdb::encode_fixed32(image.data() + pos, *found);
  return {};
}

// Bytes by which a build of `request` can grow the blank image, as a bound
// that holds in practice: every text encoded as UTF-16 (2 bytes per UTF-8
// byte at most) and padded, every name new, rows spread over pages that each
// leave up to a quarter unused, and a page per table to spare.
std::size_t image_growth_bound(const Request& request) {
  constexpr std::size_t kTrackRowFixed = 308;  // 136 fixed bytes, 21 string headers and paddings, spare
  constexpr std::size_t kNamedRowFixed = 36;   // the largest named-row prefix and allocation slack
  constexpr std::size_t kRowIndexPerRow = 3;   // 2 bytes of slot offset, a share of the group flags
  constexpr std::size_t kEntryRow = 12 + kRowIndexPerRow;
  constexpr std::size_t kArtworkRowFixed = 8 + kRowIndexPerRow;
  constexpr std::size_t kSpareTables = 20;
  std::size_t bytes = 0;
  for (const Track& t : request.tracks) {
    const std::size_t texts = t.title.size() + t.comment.size() + t.analysis_path.size() + 2 * t.audio_path.size();
    const std::size_t names = t.artist.size() + t.album.size() + t.genre.size() + t.key.size();
    bytes += kTrackRowFixed + 2 * texts + 4 * (kNamedRowFixed + kRowIndexPerRow) + 2 * names + kArtworkRowFixed +
             t.artwork_path.size();
  }
  for (const Playlist& p : request.playlists) {
    bytes += kNamedRowFixed + 2 * p.name.size() + kEntryRow * p.tracks.size();
  }
  return bytes + bytes / 3 + kSpareTables * vantrel_pdb::format::kToolPageSize;
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
  std::vector<std::uint8_t> blank = vantrel_pdb::make_blank_image();
  // The image grows a page at a time; room reserved ahead saves copying it
  // on every doubling. Reserved but unused room is never touched, so a
  // generous bound costs address space, not memory.
  blank.reserve(blank.size() + image_growth_bound(request));
  auto editor = vantrel_pdb::PdbEditor::from_bytes(std::move(blank));

  std::vector<std::uint32_t> request_ids;
  request_ids.reserve(request.tracks.size());
  for (const Track& t : request.tracks) request_ids.push_back(t.id);
  IdMap track_ids(IdMap::dense_bound_for(request_ids));
  for (const Track& t : request.tracks) {
    if (track_ids.contains(t.id)) return fail("Duplicate track ID");
    auto id = editor.add_track(new_track_for(t));
    if (!id) return std::unexpected(Error(id.error()));
    track_ids.emplace(t.id, *id);
  }
  auto playlist_ids = create_playlists(editor, request.playlists, track_ids);
  if (!playlist_ids) return std::unexpected(playlist_ids.error());

  std::vector<std::uint8_t> image = std::move(editor).into_bytes();
  // The corrections need only where the rows are. The editor made every row
  // of this image, and its index checked that each one decodes, so the rows
  // are listed from the row indices without decoding them; the report
  // decodes the finished image in full before anything is written.
  auto track_rows = table_rows_of_kind(image, kind::tracks);
  if (!track_rows) return std::unexpected(Error(track_rows.error()));
  auto entry_rows = table_rows_of_kind(image, kind::playlist_entries);
  if (!entry_rows) return std::unexpected(Error(entry_rows.error()));
  auto tree_rows = table_rows_of_kind(image, kind::playlist_tree);
  if (!tree_rows) return std::unexpected(Error(tree_rows.error()));

  // The k-th track row is the k-th request track: rows are appended in call
  // order and listed in chain and slot order.
  if (track_rows->size() < request.tracks.size()) return fail("internal error: built image lost track rows");
  for (std::size_t k = 0; k < request.tracks.size(); ++k) {
    const Track& t = request.tracks[k];
    const std::uint64_t row = (*track_rows)[k];
    if (!vantrel_pdb::in_bounds(image, row, vantrel_pdb::track_row::kFixedSize)) {
      return fail("internal error: track row outside the built image");
    }
    vantrel_pdb::encode_fixed32(image.data() + row + vantrel_pdb::track_row::kIdOffset, t.id);
    auto file_type = file_type_for_path(t.audio_path);
    if (!file_type) return fail("Unsupported audio extension");
    vantrel_pdb::encode_fixed16(image.data() + row + vantrel_pdb::track_row::kFileTypeOffset, *file_type);
  }

  const IdMap request_track_ids = track_ids.inverted();
  const IdMap request_playlist_ids = playlist_ids->inverted();
  namespace entry = vantrel_pdb::entry_row;
  namespace tree = vantrel_pdb::playlist_tree_row;
  for (std::uint64_t row : *entry_rows) {
    if (auto ok = translate(image, row + entry::kTrackIdOffset, request_track_ids); !ok) return std::unexpected(ok.error());
    if (auto ok = translate(image, row + entry::kPlaylistIdOffset, request_playlist_ids); !ok) {
      return std::unexpected(ok.error());
    }
  }
  for (std::uint64_t row : *tree_rows) {
    if (auto ok = translate(image, row + tree::kParentIdOffset, request_playlist_ids); !ok) {
      return std::unexpected(ok.error());
    }
    if (auto ok = translate(image, row + tree::kIdOffset, request_playlist_ids); !ok) return std::unexpected(ok.error());
  }

  if (auto ok = add_artwork(image, request.tracks, *track_rows); !ok) return std::unexpected(ok.error());
  return image;
}

}  // namespace dovrel
