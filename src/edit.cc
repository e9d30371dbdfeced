#include "edit.h"

#include <string>
#include <utility>

#include "build.h"

namespace dovrel {

namespace {

using Op = EditChange::Op;
using vantrel_pdb::Library;
using vantrel_pdb::PdbError;

vantrel_pdb::TrackChange track_change(const TrackUpdate& t) {
  vantrel_pdb::TrackChange c;
  c.title = t.title;
  c.artist = t.artist;
  c.album = t.album;
  c.genre = t.genre;
  c.key = t.key;
  c.label = t.label;
  c.audio_path = t.audio_path;
  c.analysis_path = t.analysis_path;
  c.artwork_path = t.artwork_path;
  c.comment = t.comment;
  if (t.bpm) c.tempo = vantrel_pdb::tempo_from_bpm(*t.bpm);
  c.bitrate = t.bitrate;
  c.sample_rate = t.sample_rate;
  c.file_size = t.file_size;
  c.duration = t.duration;
  c.sample_depth = t.sample_depth;
  c.rating = t.rating;
  return c;
}

std::expected<void, PdbError> apply(Library& library, const EditChange& change) {
  switch (change.op) {
    case Op::kAddTracks:
      for (const Track& t : change.tracks) {
        if (auto ok = library.add_track(track_input(t)); !ok) return ok;
      }
      return library.commit();
    case Op::kSetTrack: return library.set_track(change.id, track_change(change.track));
    case Op::kRemoveTracks: return library.remove_tracks(change.ids);
    case Op::kAddPlaylists: {
      std::vector<vantrel_pdb::PlaylistInput> playlists;
      playlists.reserve(change.playlists.size());
      for (const Playlist& p : change.playlists)
        playlists.push_back({p.id, p.name, p.parent_id, p.is_folder, p.tracks});
      if (auto ok = library.add_playlists(playlists); !ok) return ok;
      return library.commit();
    }
    case Op::kRenamePlaylist: return library.rename_playlist(change.id, change.name);
    case Op::kMovePlaylist: return library.move_playlist(change.id, change.parent_id, change.position);
    case Op::kSetPlaylistTracks: return library.set_playlist_tracks(change.id, change.ids);
    case Op::kRemovePlaylists: return library.remove_playlists(change.ids);
  }
  return {};
}

}  // namespace

namespace {

Error change_error(std::size_t index, const PdbError& error) {
  return Error("changes[" + std::to_string(index) + "]: " + error.message());
}

}  // namespace

Error edit_check_error(const Request& request, const PdbError& error) {
  return change_error(request.changes.empty() ? 0 : request.changes.size() - 1, error);
}

Result<Library> edit_library(std::vector<std::uint8_t> image, const Request& request, bool check_beside_write) {
  // The changes find their rows by location and read what they need where
  // it lies, as a patch does; the report's decoding follows the first change.
  auto library = Library::open(std::move(image), vantrel_pdb::Decoding::kRowLocations);
  if (!library) return std::unexpected(Error(library.error()));
  for (std::size_t i = 0; i < request.changes.size(); ++i) {
    if (check_beside_write && i + 1 == request.changes.size()) library->defer_check();
    if (auto ok = apply(*library, request.changes[i]); !ok) return std::unexpected(change_error(i, ok.error()));
  }
  return std::move(*library);
}

}  // namespace dovrel
