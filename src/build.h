// The "build" action: a new database from a request's tracks and
// playlists, made by the library from the blank image.
#ifndef DOVREL_BUILD_H_
#define DOVREL_BUILD_H_

#include <cstdint>
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

// As build_library, committed, and returns the image; nothing of a failed
// build is kept.
Result<std::vector<std::uint8_t>> build(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_BUILD_H_
