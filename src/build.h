// The "build" action: a new database from a request's tracks and
// playlists, made by the library from the blank image.
#ifndef DOVREL_BUILD_H_
#define DOVREL_BUILD_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.h"
#include "request.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

using vantrel_pdb::file_type_for_path;
using vantrel_pdb::tempo_from_bpm;

// A request track as the library adds it (the tempo from "bpm").
vantrel_pdb::TrackInput track_input(const Track& track);

// Adds the request's tracks (in request order) and playlists (parents
// first, in passes) to a new library, as one pending edit. Fails with the
// library's messages: "Duplicate track ID", "Duplicate playlist ID",
// "Playlist references absent track", "Playlist parent cycle or missing
// parent", or another library error. The request is not needed afterwards:
// the edit is committed (ids, file types, artwork, and the check that the
// image reads, failing with "Unsupported audio extension", the artwork
// messages or a reader error) by the library's first read or bytes().
Result<vantrel_pdb::Library> build_library(const Request& request);

// As build_library, moving the request's texts into the library instead of
// copying them; the request's tracks and playlists are empty afterwards,
// the rest of it as it was.
Result<vantrel_pdb::Library> build_library_taking(Request& request);

// Adds request tracks to a new library as build_library does, in order,
// batch by batch as they come: the first track that fails is the build's
// failure, and the tracks after it are dropped.
class TrackAdder {
 public:
  // The library's room reserved by `hint`.
  explicit TrackAdder(const vantrel_pdb::GrowthHint& hint);
  // For tracks that come while a request of `text_size` bytes is read: the
  // room is reserved when the first batch comes, by its share of the text.
  static TrackAdder for_text(std::size_t text_size);

  // Adds the tracks, moving their texts into the library; `tracks` is empty
  // after.
  void add(std::vector<Track>&& tracks);
  void add(vantrel_pdb::TrackInput track);

  // A batch of request tracks on its way to the library, prepared (their
  // rows encoded) on the thread that read them or by add, whichever has
  // time, with what reserving room takes of them.
  struct Batch {
    std::vector<Track> tracks;  // as read; moved from once prepared
    std::vector<vantrel_pdb::PreparedTrack> prepared;
    vantrel_pdb::GrowthHint hint;  // of these tracks, when `hinted`
    bool hinted = false;
    // The request text the tracks array took up to the end of these (for
    // for_text).
    std::size_t text_bytes = 0;
  };
  // The batch of `tracks`; with `hinted`, it carries their hint (the first
  // batch must).
  static Batch batch_of(std::vector<Track>&& tracks, std::size_t text_bytes, bool hinted);
  // Prepares the batch's tracks, moving their texts. Runs on any thread.
  static void prepare(Batch& batch);
  // Adds the batch's tracks, preparing them first if they are not. What the
  // library does not keep is freed where it was made: the prepared rows that
  // add made itself are freed here, and the rest stays in the batch for the
  // thread that made it. (A free of a large block made on another thread
  // takes that thread's allocator lock, which it holds at every one of its
  // own allocations: two threads trading 100,000 tracks' rows that way spent
  // 50 ms waiting for each other.)
  void add(Batch& batch);

  // Adds the request's playlists and returns the library, or the first failure.
  Result<vantrel_pdb::Library> finish(const Request& request) &&;

 private:
  void reserve_for(const vantrel_pdb::GrowthHint& hint, std::size_t text_bytes);

  vantrel_pdb::Library library_;
  std::optional<Error> failure_;
  std::size_t text_size_ = 0;
  bool reserved_ = false;
};

// As build_library, committed, and returns the image; nothing of a failed
// build is kept.
Result<std::vector<std::uint8_t>> build(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_BUILD_H_
