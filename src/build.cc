#include "build.h"

#include <utility>

namespace dovrel {

vantrel_pdb::TrackInput track_input(const Track& t) {
  vantrel_pdb::TrackInput in;
  in.id = t.id;
  in.title = t.title;
  in.artist = t.artist;
  in.album = t.album;
  in.genre = t.genre;
  in.key = t.key;
  in.audio_path = t.audio_path;
  in.analysis_path = t.analysis_path;
  in.artwork_path = t.artwork_path;
  in.comment = t.comment;
  in.label = t.label;
  in.tempo = tempo_from_bpm(t.bpm);
  in.bitrate = t.bitrate;
  in.sample_rate = t.sample_rate;
  in.file_size = t.file_size;
  in.duration = t.duration;
  in.sample_depth = t.sample_depth;
  in.rating = t.rating;
  return in;
}

namespace {

vantrel_pdb::GrowthHint growth_hint(const Request& request) {
  vantrel_pdb::GrowthHint hint;
  hint.tracks = request.tracks.size();
  for (const Track& t : request.tracks) {
    hint.track_text_bytes += t.title.size() + t.comment.size() + t.analysis_path.size() + 2 * t.audio_path.size();
    hint.name_bytes +=
        t.artist.size() + t.album.size() + t.genre.size() + t.key.size() + (t.label ? t.label->size() : 0);
    hint.artwork_path_bytes += t.artwork_path.size();
  }
  hint.playlists = request.playlists.size();
  for (const Playlist& p : request.playlists) {
    hint.playlist_name_bytes += p.name.size();
    hint.entries += p.tracks.size();
  }
  return hint;
}

}  // namespace

Result<vantrel_pdb::Library> build_library(const Request& request) {
  auto library = vantrel_pdb::Library::create();
  library.reserve(growth_hint(request));
  for (const Track& t : request.tracks) {
    if (auto ok = library.add_track(track_input(t)); !ok) return std::unexpected(Error(ok.error()));
  }
  std::vector<vantrel_pdb::PlaylistInput> playlists;
  playlists.reserve(request.playlists.size());
  for (const Playlist& p : request.playlists) playlists.push_back({p.id, p.name, p.parent_id, p.is_folder, p.tracks});
  if (auto ok = library.add_playlists(playlists); !ok) return std::unexpected(Error(ok.error()));
  return library;
}

Result<std::vector<std::uint8_t>> build(const Request& request) {
  auto library = build_library(request);
  if (!library) return std::unexpected(std::move(library.error()));
  auto image = std::move(*library).take_bytes();
  if (!image) return std::unexpected(Error(image.error()));
  return std::move(*image);
}

}  // namespace dovrel
