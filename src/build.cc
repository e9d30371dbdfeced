#include "build.h"

#include <utility>

namespace dovrel {

namespace {

// The fields of a request track as the library takes them; the texts are
// copied or moved as `Source` is an lvalue or an rvalue.
template <class Source>
vantrel_pdb::TrackInput input_of(Source&& t) {
  vantrel_pdb::TrackInput in;
  in.id = t.id;
  in.title = std::forward<Source>(t).title;
  in.artist = std::forward<Source>(t).artist;
  in.album = std::forward<Source>(t).album;
  in.genre = std::forward<Source>(t).genre;
  in.key = std::forward<Source>(t).key;
  in.audio_path = std::forward<Source>(t).audio_path;
  in.analysis_path = std::forward<Source>(t).analysis_path;
  in.artwork_path = std::forward<Source>(t).artwork_path;
  in.comment = std::forward<Source>(t).comment;
  in.label = std::forward<Source>(t).label;
  in.tempo = tempo_from_bpm(t.bpm);
  in.bitrate = t.bitrate;
  in.sample_rate = t.sample_rate;
  in.file_size = t.file_size;
  in.duration = t.duration;
  in.sample_depth = t.sample_depth;
  in.rating = t.rating;
  return in;
}

}  // namespace

vantrel_pdb::TrackInput track_input(const Track& t) { return input_of(t); }

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

// build_library over `tracks`, the request's, each made into the library's
// input by input_for (which copies or moves its texts).
template <class Tracks, class InputFor>
Result<vantrel_pdb::Library> build_from(const Request& request, Tracks& tracks, InputFor input_for) {
  auto library = vantrel_pdb::Library::create();
  library.reserve(growth_hint(request));
  for (auto& t : tracks) {
    if (auto ok = library.add_track(input_for(t)); !ok) return std::unexpected(Error(ok.error()));
  }
  std::vector<vantrel_pdb::PlaylistInput> playlists;
  playlists.reserve(request.playlists.size());
  for (const Playlist& p : request.playlists) playlists.push_back({p.id, p.name, p.parent_id, p.is_folder, p.tracks});
  if (auto ok = library.add_playlists(playlists); !ok) return std::unexpected(Error(ok.error()));
  return library;
}

}  // namespace

Result<vantrel_pdb::Library> build_library(const Request& request) {
  return build_from(request, request.tracks, [](const Track& t) { return input_of(t); });
}

Result<vantrel_pdb::Library> build_library_taking(Request& request) {
  auto library = build_from(request, request.tracks, [](Track& t) { return input_of(std::move(t)); });
  // The texts went to the library; the records and the playlists are of no
  // more use, and their memory serves the commit and the report.
  std::vector<Track>().swap(request.tracks);
  std::vector<Playlist>().swap(request.playlists);
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
