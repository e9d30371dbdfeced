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

// Builds the database for `request`: tracks in request order, then the
// playlists parents first (in passes), then the library's commit (ids, file
// types, artwork, and the check that the image reads). Fails with the
// library's messages: "Duplicate track ID", "Duplicate playlist ID",
// "Playlist references absent track", "Playlist parent cycle or missing
// parent", "Unsupported audio extension", the artwork messages, or another
// library error; nothing of a failed build is kept.
Result<vantrel_pdb::Library> build_library(const Request& request);

// As build_library, and returns the image.
Result<std::vector<std::uint8_t>> build(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_BUILD_H_
