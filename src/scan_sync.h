// Keeping a stick in sync: what an existing database holds (read through the
// library), and the changes that bring it to what a scan found: the files
// not yet in it, with ids after its largest, the tracks whose files are
// gone, and the playlists it does not have yet.
#ifndef DOVREL_SCAN_SYNC_H_
#define DOVREL_SCAN_SYNC_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// The parts of a database that a sync compares with a scan.
struct ExistingLibrary {
  struct TrackEntry {
    std::uint32_t id = 0;
    std::string audio_path;
  };
  std::vector<TrackEntry> tracks;   // in table order
  std::vector<Playlist> playlists;  // names and parents only
  std::uint32_t max_track_id = 0;
  std::uint32_t max_playlist_id = 0;
};

// Reads and checks the database at `path` as "read" does, failing with the
// same messages.
Result<ExistingLibrary> read_existing_library(const std::string& path);

// A scan's tracks and playlists, as a build would take them: tracks carry
// ids 0 until numbered, playlists name their tracks by index into `tracks`.
struct ScannedLibrary {
  std::vector<Track> tracks;
  std::vector<Playlist> playlists;  // ids 1, 2, ...; a folder before what it holds
};

// Numbers a build's tracks 1, 2, 3, ... in scan order and turns the
// playlists' track indices into those ids.
void number_for_build(ScannedLibrary& scanned);

struct SyncChanges {
  std::vector<Track> add_tracks;             // the scanned files not in the database, numbered on
  std::vector<std::uint32_t> remove_tracks;  // ids whose files are gone, in table order
  std::vector<Playlist> add_playlists;       // playlists and folders not in the database
};

// The changes from `existing` to `scanned`. A scanned track is in the
// database when a track there has its audio path (byte for byte); new ones
// get ids after the largest there, in scan order. A track of the database
// is removed when `file_is_gone(audio_path)`. A scanned playlist or folder
// is in the database when a node there has the same name under a parent of
// the same path of names and is alike a folder or not; new ones get ids
// after the largest there, their entries the ids of the tracks found or
// added. Playlists already there are left as they are.
SyncChanges plan_sync(const ExistingLibrary& existing, const ScannedLibrary& scanned,
                      const std::function<bool(const std::string& audio_path)>& file_is_gone);

}  // namespace dovrel

#endif  // DOVREL_SCAN_SYNC_H_
