#include "scan_sync.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "vantrel_pdb/files.h"
#include "vantrel_pdb/id_hash.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

namespace {

// A node's place in the tree: the names from the top down to it, each
// followed by a NUL (names never hold one), and whether it is a folder.
using TreeKey = std::pair<std::string, bool>;

// The path of names of every playlist in `playlists` by id; a parent that
// is missing (or a cycle) leaves the path at what was found.
vantrel_pdb::IdHashMap<std::string> name_paths(const std::vector<Playlist>& playlists) {
  vantrel_pdb::IdHashMap<const Playlist*> by_id;
  for (const Playlist& p : playlists) by_id.emplace(p.id, &p);
  vantrel_pdb::IdHashMap<std::string> paths;
  for (const Playlist& p : playlists) {
    std::vector<const Playlist*> chain{&p};
    while (chain.size() <= playlists.size()) {
      auto parent = by_id.find(chain.back()->parent_id);
      if (chain.back()->parent_id == 0 || parent == by_id.end()) break;
      chain.push_back(parent->second);
    }
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path.append((*it)->name).push_back('\0');
    paths.emplace(p.id, std::move(path));
  }
  return paths;
}

}  // namespace

Result<ExistingLibrary> read_existing_library(const std::string& path) {
  auto image = vantrel_pdb::read_database_file(path);
  if (!image) return std::unexpected(Error(image.error()));
  auto library = vantrel_pdb::Library::open(std::move(*image), vantrel_pdb::Decoding::kRowLocations);
  if (!library) return std::unexpected(Error(library.error()));
  auto rows = library->track_rows();
  if (!rows) return std::unexpected(Error(rows.error()));
  ExistingLibrary existing;
  existing.tracks.reserve(rows->size());
  for (std::size_t i = 0; i < rows->size(); ++i) {
    auto track = rows->at(i);
    if (!track) return std::unexpected(Error(track.error()));
    ExistingLibrary::TrackEntry entry{track->id(), {}};
    if (auto ok = track->append_text(vantrel_pdb::TrackText::kAudioPath, entry.audio_path); !ok) {
      return std::unexpected(Error(ok.error()));
    }
    existing.max_track_id = std::max(existing.max_track_id, entry.id);
    existing.tracks.push_back(std::move(entry));
  }
  auto playlists = library->playlists();
  if (!playlists) return std::unexpected(Error(playlists.error()));
  for (const vantrel_pdb::PlaylistInfo& p : *playlists) {
    existing.max_playlist_id = std::max(existing.max_playlist_id, p.id);
    existing.playlists.push_back({p.id, p.name, p.parent_id, p.is_folder, {}});
  }
  return existing;
}

void number_for_build(ScannedLibrary& scanned) {
  for (std::size_t i = 0; i < scanned.tracks.size(); ++i) scanned.tracks[i].id = static_cast<std::uint32_t>(i + 1);
  for (Playlist& p : scanned.playlists) {
    for (std::uint32_t& entry : p.tracks) entry = scanned.tracks[entry].id;
  }
}

SyncChanges plan_sync(const ExistingLibrary& existing, const ScannedLibrary& scanned,
                      const std::function<bool(const std::string& audio_path)>& file_is_gone) {
  SyncChanges changes;
  std::unordered_map<std::string_view, std::uint32_t> known;  // audio path -> first id with it
  for (const auto& t : existing.tracks) known.emplace(t.audio_path, t.id);

  // Tracks: the id of each scanned track, found or new.
  std::vector<std::uint32_t> ids(scanned.tracks.size());
  std::uint32_t next_track = existing.max_track_id;
  for (std::size_t i = 0; i < scanned.tracks.size(); ++i) {
    const Track& t = scanned.tracks[i];
    if (auto it = known.find(t.audio_path); it != known.end()) {
      ids[i] = it->second;
      continue;
    }
    Track added = t;
    added.id = ids[i] = ++next_track;
    changes.add_tracks.push_back(std::move(added));
  }
  for (const auto& t : existing.tracks) {
    if (file_is_gone(t.audio_path)) changes.remove_tracks.push_back(t.id);
  }

  // Playlists: matched by their path of names, folders with folders.
  std::map<TreeKey, std::uint32_t> existing_nodes;
  const auto existing_paths = name_paths(existing.playlists);
  for (const Playlist& p : existing.playlists)
    existing_nodes.emplace(TreeKey{existing_paths.at(p.id), p.is_folder}, p.id);
  const auto scanned_paths = name_paths(scanned.playlists);
  vantrel_pdb::IdHashMap<std::uint32_t> new_ids;  // scanned playlist id -> id in the database
  std::uint32_t next_playlist = existing.max_playlist_id;
  for (const Playlist& p : scanned.playlists) {
    if (auto it = existing_nodes.find(TreeKey{scanned_paths.at(p.id), p.is_folder}); it != existing_nodes.end()) {
      new_ids[p.id] = it->second;
      continue;
    }
    Playlist added = p;
    added.id = new_ids[p.id] = ++next_playlist;
    // A parent comes before its children, so its id is known by now.
    added.parent_id = p.parent_id == 0 ? 0 : new_ids.at(p.parent_id);
    for (std::uint32_t& entry : added.tracks) entry = ids[entry];
    changes.add_playlists.push_back(std::move(added));
  }
  return changes;
}

}  // namespace dovrel
