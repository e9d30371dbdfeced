#include "build.h"

#include <algorithm>
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

// The hint of `tracks` alone.
vantrel_pdb::GrowthHint tracks_hint(const std::vector<Track>& tracks) {
  vantrel_pdb::GrowthHint hint;
  hint.tracks = tracks.size();
  for (const Track& t : tracks) {
    hint.track_text_bytes += t.title.size() + t.comment.size() + t.analysis_path.size() + 2 * t.audio_path.size();
    hint.name_bytes +=
        t.artist.size() + t.album.size() + t.genre.size() + t.key.size() + (t.label ? t.label->size() : 0);
    hint.artwork_path_bytes += t.artwork_path.size();
  }
  return hint;
}

vantrel_pdb::GrowthHint growth_hint(const Request& request) {
  vantrel_pdb::GrowthHint hint = tracks_hint(request.tracks);
  hint.playlists = request.playlists.size();
  for (const Playlist& p : request.playlists) {
    hint.playlist_name_bytes += p.name.size();
    hint.entries += p.tracks.size();
  }
  return hint;
}

// `hint` times `whole` / `part`, and an eighth more: the first tracks'
// hint made the whole request's.
vantrel_pdb::GrowthHint scaled(vantrel_pdb::GrowthHint hint, std::size_t whole, std::size_t part) {
  const double factor = static_cast<double>(whole) / static_cast<double>(std::max<std::size_t>(part, 1)) * 1.125;
  for (std::size_t* field : {&hint.tracks, &hint.track_text_bytes, &hint.name_bytes, &hint.artwork_path_bytes}) {
    *field = static_cast<std::size_t>(static_cast<double>(*field) * factor);
  }
  return hint;
}

}  // namespace

TrackAdder::TrackAdder(const vantrel_pdb::GrowthHint& hint) : library_(vantrel_pdb::Library::create()) {
  library_.reserve(hint);
}

TrackAdder TrackAdder::for_text(std::size_t text_size) {
  TrackAdder adder({});
  adder.text_size_ = text_size;
  return adder;
}

void TrackAdder::add(vantrel_pdb::TrackInput track) {
  if (failure_) return;
  if (auto ok = library_.add_track(std::move(track)); !ok) failure_ = Error(ok.error());
}

void TrackAdder::reserve_for(const vantrel_pdb::GrowthHint& hint, std::size_t text_bytes) {
  // The library is reserved before its first track is added.
  if (text_size_ != 0 && !reserved_) library_.reserve(scaled(hint, text_size_, text_bytes));
  reserved_ = true;
}

void TrackAdder::add(std::vector<Track>&& tracks) {
  reserve_for(tracks_hint(tracks), 0);
  for (Track& t : tracks) add(input_of(std::move(t)));
  std::vector<Track>().swap(tracks);
}

TrackAdder::Batch TrackAdder::batch_of(std::vector<Track>&& tracks, std::size_t text_bytes, bool hinted) {
  Batch batch;
  if (hinted) batch.hint = tracks_hint(tracks);
  batch.hinted = hinted;
  batch.text_bytes = text_bytes;
  batch.tracks = std::move(tracks);
  return batch;
}

void TrackAdder::prepare(Batch& batch) {
  batch.prepared.reserve(batch.tracks.size());
  for (Track& t : batch.tracks) batch.prepared.push_back(vantrel_pdb::Library::prepare_track(input_of(std::move(t))));
}

void TrackAdder::add(Batch& batch) {
  if (batch.hinted) reserve_for(batch.hint, batch.text_bytes);
  reserved_ = true;
  const bool prepared_here = batch.prepared.empty();
  if (prepared_here) prepare(batch);
  for (vantrel_pdb::PreparedTrack& t : batch.prepared) {
    if (failure_) break;
    if (auto ok = library_.add_prepared(std::move(t)); !ok) failure_ = Error(ok.error());
  }
  if (prepared_here) std::vector<vantrel_pdb::PreparedTrack>().swap(batch.prepared);
}

Result<vantrel_pdb::Library> TrackAdder::finish(const Request& request) && {
  if (failure_) return std::unexpected(std::move(*failure_));
  std::vector<vantrel_pdb::PlaylistInput> playlists;
  playlists.reserve(request.playlists.size());
  for (const Playlist& p : request.playlists) playlists.push_back({p.id, p.name, p.parent_id, p.is_folder, p.tracks});
  if (auto ok = library_.add_playlists(playlists); !ok) return std::unexpected(Error(ok.error()));
  return std::move(library_);
}

Result<vantrel_pdb::Library> build_library(const Request& request) {
  TrackAdder adder(growth_hint(request));
  for (const Track& t : request.tracks) adder.add(input_of(t));
  return std::move(adder).finish(request);
}

Result<vantrel_pdb::Library> build_library_taking(Request& request) {
  TrackAdder adder(growth_hint(request));
  adder.add(std::move(request.tracks));
  auto library = std::move(adder).finish(request);
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
